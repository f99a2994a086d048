#include "shell/gtk/window_loader.h"

#include <dlfcn.h>

#include "core/log.h"
#include "launcher/progress_pump.h"
#include "platform/platform.h"
#include "platform/posix/modules.h"
#include "shell/gtk/window_module.h"
#include "web/browser_host.h"
#include "web/browser_view.h"

namespace {

// Says what could not be loaded, as the Windows launcher does for a missing WebView2. The loader's
// message names the missing library.
void reportMissingWindow(const std::string& error) {
    const bool noWebKit = error.find("webkit2gtk") != std::string::npos ||
                          error.find("javascriptcoregtk") != std::string::npos;
    if (noWebKit) {
        logLine("WebKitGTK not found - " + error);
        platform::messageBox(
            "WebKitGTK 4.1 is not installed, so the launcher cannot show its pages.\n\nPlease "
            "install your distribution's WebKitGTK 4.1 package (libwebkit2gtk-4.1-0 on Debian and "
            "Ubuntu) and start the launcher again.",
            ">ORV< Launcher", platform::MessageKind::Error);
        return;
    }
    logLine("Failed to load the launcher window - " + error);
    platform::messageBox("The launcher window could not be loaded:\n" + error +
                             "\n\nPlease install the launcher again.",
                         ">ORV< Launcher", platform::MessageKind::Error);
}

}  // namespace

int showLauncherWindow() {
    if (!platform::displayNamed()) {
        logLine("Failed to create Window");
        return 0;
    }
    const std::string path = platform::besideProgram(windowModuleFile);
    // Bound lazily, as when Launcher linked these libraries itself; never closed: GTK and
    // WebKitGTK cannot be unloaded.
    void* module = dlopen(path.c_str(), RTLD_LAZY | RTLD_LOCAL);
    if (!module) {
        reportMissingWindow(dlerror());
        return 0;
    }
    const auto run = reinterpret_cast<RunLauncherWindow>(dlsym(module, windowModuleEntry));
    static const LauncherCalls calls{sizeof(LauncherCalls),
                                     logLine,
                                     progressTick,
                                     onBrowserReady,
                                     onNavigationCompleted,
                                     onWebMessageReceived,
                                     onTopLevelNavigation,
                                     onFrameNavigation,
                                     onNewWindowRequested,
                                     &mainWindow,
                                     &webView};
    const int status = run ? run(&calls) : windowModuleRefused;
    if (status == windowModuleRefused) {
        reportMissingWindow(path + " is not the window module of this launcher");
        return 0;
    }
    return status;
}
