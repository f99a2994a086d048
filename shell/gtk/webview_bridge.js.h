// Gives the page WebView2's `window.chrome.webview`, so the web service's pages run unchanged in
// both browsers: postMessage goes to the launcher, and the launcher's messages arrive as
// `message` events whose data is the posted string.
//
// The script message handler lives in a script world of the launcher's own, which only the top
// frame gets: in the page's world every frame, a foreign one too, could call a handler directly.
// The page's bridge hands its messages over as a DOM event on its document, which the frames of
// other sites cannot reach.
#pragma once

inline constexpr const char* bridgeWorldName = "orv-launcher";

// In the page's world of the top frame.
inline constexpr const char* webviewBridgeScript = R"JS(
(function () {
  if (window.chrome && window.chrome.webview) return;
  const listeners = [];
  const page = document;
  const dispatch = EventTarget.prototype.dispatchEvent;
  const Message = CustomEvent;
  const webview = {
    postMessage(message) {
      dispatch.call(page, new Message('orv-web-message', { detail: message }));
    },
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

// In the launcher's world of the top frame, beside the handler.
inline constexpr const char* bridgeRelayScript = R"JS(
document.addEventListener('orv-web-message', (event) => {
  const message = event.detail === undefined ? null : event.detail;
  window.webkit.messageHandlers.orv.postMessage(message);
}, true);
)JS";
