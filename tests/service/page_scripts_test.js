// The pages' scripts against the launcher's messages, in node with a small stand-in for the DOM.
// Usage: node page_scripts_test.js <pages folder>
'use strict';

const assert = require('assert');
const fs = require('fs');
const path = require('path');
const vm = require('vm');

const pages = process.argv[2];
let failures = 0;

// Elements --------------------------------------------------------------------------------------

class Element {
  constructor(tag, attributes = {}) {
    this.tagName = tag.toUpperCase();
    this.attributes = Object.assign({}, attributes);
    this.children = [];
    this.listeners = {};
    this.style = {};
    this.hidden = 'hidden' in attributes;
    this.text = '';
    this.scrollTop = 0;
    const classes = new Set((attributes.class || '').split(/\s+/).filter(Boolean));
    this.classList = {
      add: (name) => classes.add(name),
      remove: (name) => classes.delete(name),
      contains: (name) => classes.has(name),
      toggle: (name, on) => ((on === undefined ? !classes.has(name) : on) ? classes.add(name) : classes.delete(name)),
    };
    Object.defineProperty(this, 'className', {
      get: () => [...classes].join(' '),
      set: (value) => { classes.clear(); String(value).split(/\s+/).filter(Boolean).forEach((c) => classes.add(c)); },
    });
  }
  get id() { return this.attributes.id; }
  get textContent() { return this.children.length ? this.children.map((c) => c.textContent).join('') : this.text; }
  set textContent(value) { this.children = []; this.text = String(value); }
  get firstElementChild() { return this.children[0] || null; }
  get lastChild() { return this.children[this.children.length - 1] || null; }
  get firstChild() { return this.children[0] || null; }
  setAttribute(name, value) { this.attributes[name] = String(value); }
  getAttribute(name) { return name in this.attributes ? this.attributes[name] : null; }
  hasAttribute(name) { return name in this.attributes; }
  appendChild(child) {
    if (child.isFragment) { this.children.push(...child.children); child.children = []; } else this.children.push(child);
    return child;
  }
  insertBefore(child, before) {
    const at = this.children.indexOf(before);
    this.children.splice(at < 0 ? this.children.length : at, 0, child);
  }
  replaceChildren(...nodes) { this.children = []; nodes.forEach((node) => this.appendChild(node)); }
  addEventListener(type, listener) { (this.listeners[type] = this.listeners[type] || []).push(listener); }
  click() { (this.listeners.click || []).forEach((listener) => listener({ preventDefault() {} })); }
  focus() {}
  all() { return [this, ...this.children.flatMap((child) => child.all())]; }
  querySelector(selector) { return this.querySelectorAll(selector)[0] || null; }
  querySelectorAll(selector) {
    const matches = (element) => {
      if (selector.startsWith('.')) return element.classList.contains(selector.slice(1));
      const attribute = /^\[([\w-]+)\]$/.exec(selector);
      if (attribute) return element.hasAttribute(attribute[1]);
      return element.tagName === selector.toUpperCase();
    };
    return this.all().slice(1).filter(matches);
  }
}

function el(tag, attributes, children = []) {
  const element = new Element(tag, attributes);
  children.forEach((child) => element.appendChild(typeof child === 'string' ? Object.assign(new Element('#text'), { text: child }) : child));
  return element;
}

// A page: its elements, its scripts, and (optionally) the launcher's side of the channel.
function loadPage(body, scripts, { launcher = true, hash = '', fetch } = {}) {
  const listeners = [];
  const sent = [];
  const documentListeners = {};
  const root = el('html', {}, [body]);
  const document = {
    body,
    documentElement: root,
    getElementById: (id) => root.all().find((element) => element.id === id) || null,
    querySelector: (selector) => root.querySelector(selector),
    querySelectorAll: (selector) => root.querySelectorAll(selector),
    createElement: (tag) => new Element(tag),
    createDocumentFragment: () => Object.assign(new Element('#fragment'), { isFragment: true }),
    addEventListener: (type, listener) => (documentListeners[type] = documentListeners[type] || []).push(listener),
    referrer: '',
  };
  const window = {
    location: { hash },
    history: { length: 1, back() {} },
    setTimeout: () => 0,
    requestAnimationFrame: () => 0,
    console: { warn() {} },
    fetch,
  };
  if (launcher) {
    window.chrome = {
      webview: {
        postMessage: (value) => sent.push(value),
        addEventListener: (type, listener) => type === 'message' && listeners.push(listener),
      },
    };
  }
  const context = vm.createContext(Object.assign(window, { window, document, Intl, console: window.console }));
  for (const script of scripts) {
    vm.runInContext(fs.readFileSync(path.join(pages, 'assets', script), 'utf8'), context, { filename: script });
  }
  (documentListeners.DOMContentLoaded || []).forEach((listener) => listener());
  return {
    document,
    sent,
    // The launcher posts strings; a host may also hand over objects.
    post: (data) => listeners.forEach((listener) => listener({ data })),
    byId: (id) => document.getElementById(id),
  };
}

function patcherBody() {
  const bar = (id) => el('div', { class: 'bar', id }, [el('div', { class: 'bar-fill' })]);
  return el('body', {}, [
    el('button', { id: 'close', 'data-command': 'close' }),
    el('span', { id: 'step', hidden: '' }),
    el('h1', { id: 'ut1' }),
    el('p', { id: 'ut2' }),
    bar('overallBar'), el('output', { id: 'overallValue' }),
    bar('fileBar'), el('output', { id: 'fileValue' }),
    el('div', { id: 'fileName' }),
  ]);
}

function reportBody() {
  return el('body', {}, [
    el('a', { id: 'back' }),
    el('span', { id: 'summary' }),
    el('button', { id: 'loadMore', 'data-command': 'loadMore' }),
    el('div', { class: 'table-frame' }, [
      el('tbody', { id: 'rows' }),
      el('div', { id: 'empty' }, [el('strong', {}, ['Waiting']), 'text']),
    ]),
  ]);
}

function test(name, body) {
  try {
    body();
    console.log('ok   ' + name);
  } catch (error) {
    failures++;
    console.log('FAIL ' + name + '\n     ' + String(error.stack || error).split('\n').slice(0, 3).join('\n     '));
  }
}

// Patcher page ---------------------------------------------------------------------------------

test('status texts: the step becomes a chip, the marked name plain', () => {
  const page = loadPage(patcherBody(), ['bridge.js', 'patcher.js']);
  page.post('{"action": "updateText", "elementId": "ut1", "newText": "STEP 2/5 - Scanning >ORV< Installation..."}');
  page.post('{"action": "updateText", "elementId": "ut2", "newText": "Please be patient while the installation is being checked."}');
  assert.strictEqual(page.byId('ut1').textContent, 'Scanning ORV Installation...');
  assert.strictEqual(page.byId('step').textContent, 'Step 2 of 5');
  assert.strictEqual(page.byId('step').hidden, false);
  assert.strictEqual(page.byId('ut2').textContent, 'Please be patient while the installation is being checked.');

  // Idle: both texts empty; the count of 0 hides the chip.
  page.post('{"action": "updateText", "elementId": "ut1", "newText": "STEP 0/0 - Update Complete"}');
  assert.strictEqual(page.byId('step').hidden, true);
  page.post('{"action": "updateText", "elementId": "ut1", "newText": ""}');
  assert.strictEqual(page.byId('ut1').textContent, '');
  assert.strictEqual(page.byId('step').hidden, true);
});

test('progress: bars, percentages and the file line', () => {
  const page = loadPage(patcherBody(), ['bridge.js', 'patcher.js']);
  page.post('{"action": "updateProgress", "overallProgress": 42, "fileProgress": 7, "fileName": "ORV.zip (10 KB / 140 KB)"}');
  assert.strictEqual(page.byId('overallBar').querySelector('.bar-fill').style.width, '42%');
  assert.strictEqual(page.byId('overallBar').getAttribute('aria-valuenow'), '42');
  assert.strictEqual(page.byId('overallValue').textContent, '42%');
  assert.strictEqual(page.byId('fileBar').querySelector('.bar-fill').style.width, '7%');
  assert.strictEqual(page.byId('fileName').textContent, 'ORV.zip (10 KB / 140 KB)');
  assert.strictEqual(page.byId('overallBar').classList.contains('done'), false);

  // Out-of-range values stay inside the bar; 100 marks it done.
  page.post('{"action": "updateProgress", "overallProgress": 100, "fileProgress": -3, "fileName": ""}');
  assert.strictEqual(page.byId('overallBar').querySelector('.bar-fill').style.width, '100%');
  assert.strictEqual(page.byId('overallBar').classList.contains('done'), true);
  assert.strictEqual(page.byId('fileBar').querySelector('.bar-fill').style.width, '0%');
  page.post('{"action": "updateProgress", "overallProgress": 250, "fileProgress": "x", "fileName": ""}');
  assert.strictEqual(page.byId('overallValue').textContent, '100%');
  assert.strictEqual(page.byId('fileValue').textContent, '0%');
});

test('messages that do not parse are ignored, objects are accepted', () => {
  const page = loadPage(patcherBody(), ['bridge.js', 'patcher.js']);
  page.post('{"action": "updateText", "elementId": "ut2", "newText": "before"}');
  for (const broken of ['', 'not json', '{"action": "updateText", "elementId": "ut2", "newText": "say "hi""}',
                        '42', 'null', '[1,2]', '{"action": "unknown"}', '{"action": "updateText", "elementId": 5}']) {
    page.post(broken);
  }
  page.post(undefined);
  assert.strictEqual(page.byId('ut2').textContent, 'before');
  page.post({ action: 'updateText', elementId: 'ut2', newText: 'from an object' });
  assert.strictEqual(page.byId('ut2').textContent, 'from an object');
});

test('a Windows path sent without escaping still reaches the file line', () => {
  const page = loadPage(patcherBody(), ['bridge.js', 'patcher.js']);
  page.post('{"action": "updateProgress", "overallProgress": 5, "fileProgress": 50, "fileName": ".\\ORV.zip (1 KB / 2 KB)"}');
  assert.strictEqual(page.byId('fileName').textContent, '.\\ORV.zip (1 KB / 2 KB)');
  page.post('{"action": "updateProgress", "overallProgress": 6, "fileProgress": 60, "fileName": "C:\\Games\\Astrovance\\EXE\\x.dll"}');
  assert.strictEqual(page.byId('fileName').textContent, 'C:\\Games\\Astrovance\\EXE\\x.dll');
  assert.strictEqual(page.byId('overallValue').textContent, '6%');
  // Parses, but "\\b" and "\\n" would turn into control characters.
  page.post('{"action": "updateProgress", "overallProgress": 7, "fileProgress": 70, "fileName": "Astrovance\\bin\\new.dll"}');
  assert.strictEqual(page.byId('fileName').textContent, 'Astrovance\\bin\\new.dll');
});

test('the close button sends its word to the launcher, and nothing without one', () => {
  const page = loadPage(patcherBody(), ['bridge.js', 'patcher.js']);
  page.byId('close').click();
  assert.deepStrictEqual(page.sent, ['close']);

  const outside = loadPage(patcherBody(), ['bridge.js', 'patcher.js'], { launcher: false });
  outside.byId('close').click();
  assert.strictEqual(outside.byId('close').getAttribute('aria-disabled'), 'true');
  assert.ok(outside.document.body.children[0].textContent.includes('ORV launcher'), 'banner shown');
});

// Report page ----------------------------------------------------------------------------------

test('report rows come from the array, texts as they are', () => {
  const page = loadPage(reportBody(), ['bridge.js', 'report.js']);
  page.post('[{"id":501, "path":"Astrovance\\\\EXE\\\\Astrovance.exe", "hash":"352441c2"},' +
            '{"id":503, "path":"<b>odd</b>", "hash":"0"}]');
  const rows = page.byId('rows').children;
  assert.strictEqual(rows.length, 2);
  assert.deepStrictEqual(rows[0].children.map((cell) => cell.textContent), ['501', 'Astrovance\\EXE\\Astrovance.exe', '352441c2']);
  assert.deepStrictEqual(rows[1].children.map((cell) => cell.textContent), ['503', '<b>odd</b>', '0']);
  assert.strictEqual(page.byId('empty').hidden, true);
  assert.strictEqual(page.byId('summary').textContent, 'Lines 501–503 of the local manifest');

  page.post('[]');
  assert.strictEqual(page.byId('rows').children.length, 0);
  assert.strictEqual(page.byId('empty').hidden, false);
});

test('report ignores messages that are not its array; Load more asks the launcher', () => {
  const page = loadPage(reportBody(), ['bridge.js', 'report.js']);
  page.post('[{"id":1, "path":"a", "hash":"1"}]');
  page.post('{"action": "updateText", "elementId": "ut1", "newText": "x"}');
  page.post('[{"id":1, "path":"a\\b", "hash": }]');
  assert.strictEqual(page.byId('rows').children.length, 1);
  page.byId('loadMore').click();
  assert.deepStrictEqual(page.sent, ['loadMore']);
});

// Client page ----------------------------------------------------------------------------------

const SETTING_NAMES = ['windowmode', 'autoconnect', 'update_lanlist', 'use4gbvram', 'runinbackground'];

function clientBody() {
  const form = el('form', { id: 'settings' }, [
    el('span', { id: 'saveState' }),
    ...SETTING_NAMES.map((name) => Object.assign(el('input', { name }), { name, checked: false, disabled: false })),
    el('p', { id: 'settingsNotice', hidden: '' }),
  ]);
  form.elements = { namedItem: (name) => form.all().find((element) => element.name === name) || null };
  form.change = (input) => (form.listeners.change || []).forEach((listener) => listener({ target: input }));
  return el('body', {}, [
    el('span', { id: 'accountName' }),
    el('button', { id: 'start', 'data-command': 'StartAstrovance', 'data-page-handled': '' }, [el('span', { id: 'startLabel' })]),
    el('button', { id: 'repair', 'data-command': 'RepairAstrovance', 'data-page-handled': '' }),
    el('button', { id: 'folder', 'data-command': 'OpenSettingsFolder' }),
    el('div', { id: 'repairConfirm', hidden: '' }),
    el('button', { id: 'repairCancel' }),
    el('button', { id: 'repairGo' }),
    el('span', { id: 'ut1' }),
    el('span', { id: 'ut2' }),
    el('span', { id: 'eyebrow' }),
    el('h1', { id: 'headline' }),
    form,
  ]);
}

// A stand-in for the web service: answers by action, records what was posted.
function fakeService(answers) {
  const requests = [];
  const fetch = (url, options = {}) => {
    requests.push({ url, options });
    const action = /[?&]a=(\w+)/.exec(url)[1];
    const [status, body] = answers[action](options);
    return Promise.resolve({ ok: status === 200, status, json: () => Promise.resolve(body) });
  };
  return { fetch, requests };
}

const settle = () => new Promise((resolve) => setImmediate(resolve));

async function asyncTest(name, body) {
  try {
    await body();
    console.log('ok   ' + name);
  } catch (error) {
    failures++;
    console.log('FAIL ' + name + '\n     ' + String(error.stack || error).split('\n').slice(0, 3).join('\n     '));
  }
}

(async () => {
  await asyncTest('client page shows the stored settings and account, and saves a change', async () => {
    const stored = { windowmode: 'true', autoconnect: 'off', update_lanlist: 'true', use4gbvram: 'off', runinbackground: 'true' };
    const service = fakeService({
      getgamesettings: () => [200, stored],
      getaccount: () => [200, { MPAccountName: 'Pilot-ABC123', MPAccountNameSig: 'ff' }],
      savesettings: (options) => [200, Object.assign({}, stored, { autoconnect: JSON.parse(options.body).autoconnect ? 'true' : 'off' })],
    });
    const page = loadPage(clientBody(), ['bridge.js', 'client.js'], { fetch: service.fetch });
    await settle();
    const input = (name) => page.document.getElementById('settings').elements.namedItem(name);
    assert.deepStrictEqual(SETTING_NAMES.map((name) => input(name).checked), [true, false, true, false, true]);
    assert.ok(SETTING_NAMES.every((name) => !input(name).disabled));
    assert.strictEqual(page.byId('accountName').textContent, 'Pilot-ABC123');

    input('autoconnect').checked = true;
    page.byId('settings').change(input('autoconnect'));
    await settle();
    const post = service.requests[service.requests.length - 1];
    assert.ok(post.url.endsWith('?a=savesettings'));
    assert.strictEqual(post.options.method, 'POST');
    assert.strictEqual(post.options.headers['Content-Type'], 'application/json');
    assert.deepStrictEqual(JSON.parse(post.options.body), { autoconnect: true });
    assert.strictEqual(input('autoconnect').checked, true);
    assert.strictEqual(page.byId('saveState').textContent, 'Saved');
  });

  await asyncTest('a change the service refuses is undone on the page', async () => {
    const service = fakeService({
      getgamesettings: () => [200, { windowmode: 'true', autoconnect: 'off', update_lanlist: 'off', use4gbvram: 'off', runinbackground: 'off' }],
      getaccount: () => [200, { MPAccountName: 'Pilot-ABC123', MPAccountNameSig: 'ff' }],
      savesettings: () => [503, { error: 'The settings could not be saved.' }],
    });
    const page = loadPage(clientBody(), ['bridge.js', 'client.js'], { fetch: service.fetch });
    await settle();
    const input = page.document.getElementById('settings').elements.namedItem('windowmode');
    input.checked = false;
    page.byId('settings').change(input);
    await settle();
    assert.strictEqual(input.checked, true);
    assert.strictEqual(page.byId('saveState').textContent, 'Not saved');
    assert.strictEqual(page.byId('settingsNotice').textContent, 'The settings could not be saved.');
  });

  await asyncTest('an unregistered launcher is told so, and its switches stay locked', async () => {
    const service = fakeService({ getgamesettings: () => [200, { error: 'Unknown client token.' }] });
    const page = loadPage(clientBody(), ['bridge.js', 'client.js'], { fetch: service.fetch });
    await settle();
    assert.ok(page.byId('settingsNotice').textContent.includes('not registered'));
    assert.strictEqual(page.byId('settingsNotice').hidden, false);
    assert.ok(page.document.getElementById('settings').elements.namedItem('autoconnect').disabled);
  });

  await asyncTest('client commands: start, settings folder, repair only after confirming', async () => {
    const service = fakeService({ getgamesettings: () => [200, {}], getaccount: () => [200, {}] });
    const page = loadPage(clientBody(), ['bridge.js', 'client.js'], { fetch: service.fetch });
    page.byId('start').click();
    page.byId('start').click();  // while the first start is under way
    page.byId('folder').click();
    page.byId('repair').click();
    assert.deepStrictEqual(page.sent, ['StartAstrovance', 'OpenSettingsFolder']);
    assert.strictEqual(page.byId('repairConfirm').hidden, false);
    page.byId('repairCancel').click();
    assert.deepStrictEqual(page.sent, ['StartAstrovance', 'OpenSettingsFolder']);
    page.byId('repair').click();
    page.byId('repairGo').click();
    assert.deepStrictEqual(page.sent, ['StartAstrovance', 'OpenSettingsFolder', 'RepairAstrovance']);

    // The headline follows how the run ended.
    for (const [status, eyebrow, headline] of [
      ['STEP 1/1 - Update Incomplete', 'Update incomplete', 'Some files could not be updated'],
      ['STEP 0/0 - Download Server Unreachable', 'Installation not checked', 'Current version unknown'],
      ['STEP 1/1 - Update Complete', 'Installation up to date', 'Ready for launch'],
    ]) {
      page.post(JSON.stringify({ action: 'updateText', elementId: 'ut1', newText: status }));
      assert.strictEqual(page.byId('ut1').textContent, status);
      assert.deepStrictEqual([page.byId('eyebrow').textContent, page.byId('headline').textContent], [eyebrow, headline]);
    }
  });

  process.exitCode = failures ? 1 : 0;
})();
