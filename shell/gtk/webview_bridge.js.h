// Gives the page WebView2's `window.chrome.webview`, so the web service's pages run unchanged in
// both browsers: postMessage goes to the launcher's script message handler, and the launcher's
// messages arrive as `message` events whose data is the posted string.
#pragma once

inline constexpr const char* webviewBridgeScript = R"JS(
(function () {
  if (window.chrome && window.chrome.webview) return;
  const listeners = [];
  const webview = {
    postMessage(message) { window.webkit.messageHandlers.orv.postMessage(message); },
    addEventListener(type, listener) { if (type === 'message') listeners.push(listener); },
    removeEventListener(type, listener) {
      const at = listeners.indexOf(listener);
      if (type === 'message' && at >= 0) listeners.splice(at, 1);
    },
  };
  window.chrome = window.chrome || {};
  window.chrome.webview = webview;
  Object.defineProperty(window, '__orvDeliver', {
    value(data) {
      for (const listener of listeners.slice()) {
        try { listener({ data, source: webview }); } catch (error) { console.error(error); }
      }
    },
  });
})();
)JS";
