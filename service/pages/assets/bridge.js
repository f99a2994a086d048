// The pages' only line to the launcher: window.chrome.webview. Outside the launcher (an ordinary
// browser) the pages still render, commands go nowhere and a banner says where the page belongs.
(function () {
  'use strict';

  var COMMANDS = ['close', 'StartAstrovance', 'RepairAstrovance', 'loadMore', 'OpenSettingsFolder'];
  var webview = window.chrome && window.chrome.webview ? window.chrome.webview : null;
  var demo = /(^|[#&])demo\b/.test(window.location.hash.slice(1));

  // The launcher builds its JSON by plain concatenation, so a Windows path in it arrives with
  // single backslashes: "EXE\x.dll" does not parse, and "bin\new.dll" parses into control
  // characters that no real text holds. Either way, read the backslashes literally instead.
  function hasControl(value) {
    if (typeof value === 'string') return /[\u0000-\u001f]/.test(value);
    if (value !== null && typeof value === 'object') {
      return Object.keys(value).some(function (key) { return hasControl(value[key]); });
    }
    return false;
  }

  function parseLiterally(text) {
    try {
      return JSON.parse(text.replace(/\\/g, '\\\\').replace(/[\u0000-\u001f]/g, ' '));
    } catch (error) {
      return undefined;
    }
  }

  function parseMessage(data) {
    if (data !== null && typeof data === 'object') return data;
    if (typeof data !== 'string') return undefined;
    var strict;
    try {
      strict = JSON.parse(data);
    } catch (error) {
      return parseLiterally(data);
    }
    if (!hasControl(strict)) return strict;
    var literal = parseLiterally(data);
    return literal === undefined ? strict : literal;
  }

  function send(command) {
    if (!webview || COMMANDS.indexOf(command) < 0) return false;
    try {
      webview.postMessage(command);
      return true;
    } catch (error) {
      return false;
    }
  }

  function onMessage(handler) {
    if (!webview) return;
    webview.addEventListener('message', function (event) {
      var message = parseMessage(event.data);
      if (message === undefined) return;
      try {
        handler(message);
      } catch (error) {
        // One odd message must not stop the page from taking the next.
        if (window.console) console.warn('ORV: message ignored', error);
      }
    });
  }

  // Text for the page, without control characters (a message's text is shown, never parsed).
  function plain(value) {
    return String(value === undefined || value === null ? '' : value).replace(/[\u0000-\u001f\u007f]/g, ' ');
  }

  function showBanner() {
    if (webview || demo) return;
    document.documentElement.classList.add('outside-launcher');
    var banner = document.createElement('div');
    banner.className = 'banner';
    banner.setAttribute('role', 'status');
    banner.textContent = 'Open this page in the ORV launcher to install, repair and start Astrovance.';
    document.body.insertBefore(banner, document.body.firstChild);
  }

  // Buttons with data-command send it; outside the launcher they are shown as unavailable.
  function wireCommands() {
    var buttons = document.querySelectorAll('[data-command]');
    Array.prototype.forEach.call(buttons, function (button) {
      if (!webview && !demo) {
        button.setAttribute('aria-disabled', 'true');
        button.title = 'Available in the ORV launcher';
      }
      button.addEventListener('click', function (event) {
        event.preventDefault();
        if (button.getAttribute('aria-disabled') === 'true') return;
        if (button.hasAttribute('data-page-handled')) return;  // the page's own script sends it
        send(button.getAttribute('data-command'));
      });
    });
  }

  document.addEventListener('DOMContentLoaded', function () {
    showBanner();
    wireCommands();
  });

  window.ORV = {
    connected: !!webview,
    demo: demo,
    send: send,
    onMessage: onMessage,
    parseMessage: parseMessage,
    plain: plain,
  };
})();
