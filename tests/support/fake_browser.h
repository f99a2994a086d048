// A browser view and window that record what the launcher asks of them.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "web/browser_view.h"

class FakeView : public BrowserView {
public:
    std::vector<std::u16string> navigations, posted;
    int reloads = 0;
    std::optional<std::u16string> shownUrl;

    void navigate(const std::u16string& url) override { navigations.push_back(url); }
    void reload() override { ++reloads; }
    void postWebMessageAsString(const std::u16string& text) override { posted.push_back(text); }
    std::optional<std::u16string> source() override { return shownUrl; }
};

class FakeWindow : public HostWindow {
public:
    int timerStarts = 0, destroyed = 0;
    void startProgressTimer() override { ++timerStarts; }
    void destroy() override { ++destroyed; }
};

// Installs the fakes as the launcher's window and view for the lifetime of the object.
struct FakeBrowser {
    FakeView view;
    FakeWindow window;
    FakeBrowser() {
        webView = &view;
        mainWindow = &window;
    }
    ~FakeBrowser() {
        webView = nullptr;
        mainWindow = nullptr;
    }
    // Reports a completed load of `url`.
    void load(const std::u16string& url);
};
