// The client page: start, repair, the settings folder, the account name and the game settings,
// which live in the web service and reach the game through the launcher on its next visit here.
(function () {
  'use strict';

  var SETTINGS = ['windowmode', 'autoconnect', 'update_lanlist', 'use4gbvram', 'runinbackground'];
  var ACTIONS = '/launcher_client/index.php?a=';

  var form = document.getElementById('settings');
  var saveState = document.getElementById('saveState');
  var notice = document.getElementById('settingsNotice');

  function inputs() {
    return SETTINGS.map(function (name) { return form.elements.namedItem(name); });
  }

  function setSaveState(text, kind) {
    saveState.textContent = text;
    saveState.className = 'save-state' + (kind ? ' ' + kind : '');
  }

  function showNotice(text) {
    notice.textContent = text;
    notice.hidden = !text;
  }

  function showSettings(settings) {
    inputs().forEach(function (input) {
      input.checked = settings[input.name] === 'true';
    });
  }

  function lockSettings(locked) {
    inputs().forEach(function (input) { input.disabled = locked; });
    if (!locked) window.requestAnimationFrame(function () { form.classList.add('ready'); });
  }

  // The service identifies this launcher by the cookie it set on the launcher's first visit.
  function request(action, options) {
    return fetch(ACTIONS + action, Object.assign({ credentials: 'same-origin', cache: 'no-store' }, options))
      .then(function (response) {
        return response.json().then(function (body) {
          if (!response.ok || !body || typeof body !== 'object' || body.error) {
            throw new Error(body && body.error ? String(body.error) : 'The service answered ' + response.status + '.');
          }
          return body;
        });
      });
  }

  function load() {
    lockSettings(true);
    request('getgamesettings')
      .then(function (settings) {
        showSettings(settings);
        lockSettings(false);
        return request('getaccount');
      })
      .then(function (account) {
        document.getElementById('accountName').textContent = ORV.plain(account.MPAccountName);
      })
      .catch(function (error) {
        if (ORV.demo) return showDemo();
        document.getElementById('accountName').textContent = 'not signed in';
        showNotice(error.message === 'Unknown client token.'
          ? 'This launcher is not registered with the ORV service yet. Restart the launcher to register it.'
          : 'The settings could not be loaded: ' + error.message);
      });
  }

  var pending = null;
  function save(changed) {
    var update = {};
    update[changed.name] = changed.checked;
    setSaveState('Saving…');
    var attempt = request('savesettings', {
      method: 'POST',
      headers: { 'Content-Type': 'application/json' },
      body: JSON.stringify(update),
    });
    pending = attempt;
    attempt
      .then(function (settings) {
        if (pending !== attempt) return;
        showSettings(settings);
        setSaveState('Saved', 'ok');
      })
      .catch(function (error) {
        if (pending !== attempt) return;
        changed.checked = !changed.checked;  // the service still has the old value
        setSaveState('Not saved', 'error');
        showNotice(error.message);
      });
  }

  form.addEventListener('change', function (event) {
    if (SETTINGS.indexOf(event.target.name) < 0) return;
    if (ORV.demo) return setSaveState('Saved', 'ok');
    save(event.target);
  });
  form.addEventListener('submit', function (event) { event.preventDefault(); });

  // Starting takes the launcher a moment (server list, patches); a second click meanwhile must not
  // start the game twice.
  var start = document.getElementById('start');
  start.addEventListener('click', function () {
    if (start.getAttribute('aria-disabled') === 'true' || start.classList.contains('busy')) return;
    if (!ORV.send('StartAstrovance')) return;
    start.classList.add('busy');
    document.getElementById('startLabel').textContent = 'Starting Astrovance…';
    window.setTimeout(function () {
      start.classList.remove('busy');
      document.getElementById('startLabel').textContent = 'Start Astrovance';
    }, 6000);
  });

  // Repair deletes the game's program folder, so it asks first.
  var repair = document.getElementById('repair');
  var confirmBox = document.getElementById('repairConfirm');
  repair.addEventListener('click', function () {
    if (repair.getAttribute('aria-disabled') === 'true') return;
    confirmBox.hidden = false;
    document.getElementById('repairCancel').focus();
  });
  document.getElementById('repairCancel').addEventListener('click', function () { confirmBox.hidden = true; });
  document.getElementById('repairGo').addEventListener('click', function () {
    confirmBox.hidden = true;
    ORV.send('RepairAstrovance');
  });

  // The headline follows the launcher's status line: only a complete run means up to date.
  var HEADLINES = [
    [/Update Complete/, 'Installation up to date', 'Ready for launch',
      'Your copy of Astrovance carries the current ORV release. Check the settings and jump in.'],
    [/Update Incomplete/, 'Update incomplete', 'Some files could not be updated',
      'The game may start, but it is not the current ORV release. The launcher tries again at its next start; Repair checks every file now.'],
    [/Download Server Unreachable|No Current Version Published/, 'Installation not checked', 'Current version unknown',
      'The launcher could not learn the current ORV release, so your copy was not checked. It tries again at its next start.'],
    [/Scanning|Downloading|Patching/, 'Checking the installation', 'One moment',
      'The launcher is bringing your copy of Astrovance up to date.'],
  ];
  function showHeadline(status) {
    var match = HEADLINES.filter(function (row) { return row[0].test(status); })[0];
    if (!match) return;
    ['eyebrow', 'headline', 'lead'].forEach(function (id, i) {
      var element = document.getElementById(id);
      if (element) element.textContent = match[i + 1];
    });
  }

  ORV.onMessage(function (message) {
    if (!message || message.action !== 'updateText' || typeof message.elementId !== 'string') return;
    var element = document.getElementById(message.elementId);
    if (element && (message.elementId === 'ut1' || message.elementId === 'ut2')) {
      element.textContent = ORV.plain(message.newText).replace(/>ORV</g, 'ORV').trim();
      if (message.elementId === 'ut1') showHeadline(element.textContent);
    }
  });

  function showDemo() {
    document.getElementById('accountName').textContent = 'Pilot-7F3A2C';
    showSettings({ windowmode: 'true', autoconnect: 'true', update_lanlist: 'true', use4gbvram: 'off', runinbackground: 'off' });
    lockSettings(false);
    document.getElementById('ut1').textContent = 'STEP 1/1 - Update Complete';
    document.getElementById('ut2').textContent = 'Verify Installation...';
  }

  load();
})();
