// What Launcher and its window module (orv-launcher-window.so, the GTK window with WebKitGTK)
// hand each other. The module is opened only when the window is shown, so starts without one
// never load GTK and WebKitGTK; it reaches the launcher only through this table, which Launcher
// fills. A new call from the window into the launcher is one more entry here, filled in
// window_loader.cpp and passed on in launcher_link.cpp.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

class BrowserView;
class HostWindow;

struct LauncherCalls {
    // sizeof(LauncherCalls) in the launcher's build: a module built for another table refuses it.
    std::size_t size;
    void (*logLine)(const std::string& text);
    void (*progressTick)();
    void (*onBrowserReady)(BrowserView* view);
    void (*onNavigationCompleted)();
    void (*onWebMessageReceived)(const std::u16string& source,
                                 const std::optional<std::u16string>& message);
    bool (*onTopLevelNavigation)(const std::u16string& url);
    bool (*onFrameNavigation)(const std::u16string& url);
    void (*onNewWindowRequested)(const std::u16string& url);
    HostWindow** mainWindow;
    BrowserView** webView;
};

inline constexpr const char* windowModuleFile = "orv-launcher-window.so";
inline constexpr const char* windowModuleEntry = "orvRunLauncherWindow";

// Runs the window until it is closed and returns the program's exit status, or
// windowModuleRefused (before anything was shown) when the table is not the one it was built for.
using RunLauncherWindow = int (*)(const LauncherCalls* calls);
inline constexpr int windowModuleRefused = -1;
