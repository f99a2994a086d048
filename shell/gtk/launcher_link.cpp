// The window module's end of the table: the launcher functions the window code calls, each passed
// on to the launcher, and the module's entry.
#include "shell/gtk/launcher_link.h"

#include <type_traits>

#include "core/log.h"
#include "launcher/progress_pump.h"
#include "shell/gtk/gtk_shell.h"
#include "web/browser_host.h"

namespace {
const LauncherCalls* launcher = nullptr;
}

const LauncherCalls& launcherCalls() {
    return *launcher;
}

void logLine(const std::string& text) {
    launcher->logLine(text);
}
void progressTick() {
    launcher->progressTick();
}
void onBrowserReady(BrowserView* view) {
    launcher->onBrowserReady(view);
}
void onNavigationCompleted() {
    launcher->onNavigationCompleted();
}
void onWebMessageReceived(const std::u16string& source,
                          const std::optional<std::u16string>& message) {
    launcher->onWebMessageReceived(source, message);
}
bool onTopLevelNavigation(const std::u16string& url) {
    return launcher->onTopLevelNavigation(url);
}
bool onFrameNavigation(const std::u16string& url) {
    return launcher->onFrameNavigation(url);
}
void onNewWindowRequested(const std::u16string& url) {
    launcher->onNewWindowRequested(url);
}

extern "C" __attribute__((visibility("default"))) int orvRunLauncherWindow(
    const LauncherCalls* calls) {
    if (calls->size != sizeof(LauncherCalls)) return windowModuleRefused;
    launcher = calls;
    return runLauncherWindow();
}

static_assert(std::is_same_v<decltype(&orvRunLauncherWindow), RunLauncherWindow>);
