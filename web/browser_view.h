// The two things the launcher's logic needs of its window and embedded browser. The Win32
// (WebView2) and the GTK (WebKitGTK) shells implement them; the decisions stay in web/ and
// launcher/, shared by both.
#pragma once

#include <optional>
#include <string>

class BrowserView {
public:
    virtual ~BrowserView() = default;
    virtual void navigate(const std::u16string& url) = 0;
    virtual void reload() = 0;
    // Delivers the text to the page's `message` listeners as a string.
    virtual void postWebMessageAsString(const std::u16string& text) = 0;
    // The URL of the page now shown; nothing when the browser cannot tell.
    virtual std::optional<std::u16string> source() = 0;
};

class HostWindow {
public:
    virtual ~HostWindow() = default;
    // Starts (or restarts) the 150 ms progress timer, whose ticks run progressTick.
    virtual void startProgressTimer() = 0;
    virtual void destroy() = 0;
};

// Set by the shell: the window once it exists, the view once the browser is ready.
extern HostWindow* mainWindow;
extern BrowserView* webView;
