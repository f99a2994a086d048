#include "web/browser_host.h"

#include <chrono>
#include <thread>

#include "core/log.h"
#include "core/patch_progress.h"
#include "core/text.h"
#include "core/user_paths.h"
#include "game/account_sync.h"
#include "game/settings_sync.h"
#include "net/endpoints.h"
#include "patch/patch_thread.h"
#include "web/browser_view.h"
#include "web/page_messages.h"
#include "web/report_feed.h"

HostWindow* mainWindow = nullptr;
BrowserView* webView = nullptr;
std::u16string currentUrl;
std::int64_t lastClientSync = 0;

namespace {

std::int64_t steadyNanoseconds() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::u16string webServicePage(const char* path) { return toWide(webServiceUrl + path); }

}  // namespace

std::u16string patcherPageUrl() { return webServicePage("/patcher/"); }
std::u16string reportPageUrl() { return webServicePage("/patcher/report.html"); }
std::u16string clientPageUrl() { return webServicePage("/launcher_client/index.php"); }
std::u16string clientPageUrlWithToken() {
    return webServicePage("/launcher_client/index.php?token=") + toWide(clientToken.get());
}

void onBrowserReady(BrowserView* view) {
    webView = view;
    webView->navigate(webServicePage("/patcher"));
}

void onNavigationCompleted() {
    if (!webView) return;
    if (auto source = webView->source()) currentUrl = std::move(*source);

    if (currentUrl == patcherPageUrl() && PatchProgress.phase != Complete) {
        if (mainWindow) mainWindow->startProgressTimer();
        if (claimPatchRun()) std::thread([] { runClaimedPatch(downloadServerUrl); }).detach();
    }
    if (currentUrl == reportPageUrl()) {
        sendReportPage();
    } else if (currentUrl == clientPageUrl()) {
        const std::int64_t now = steadyNanoseconds();
        if (now - lastClientSync >= 1'000'000'000) {
            syncGameSettings();
            syncAccount();
            lastClientSync = now;
        }
    }
}

void onWebMessageReceived(const std::optional<std::u16string>& message) {
    if (message) onWebMessage(mainWindow, *message);
}
