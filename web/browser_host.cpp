#include "web/browser_host.h"

#include <algorithm>
#include <chrono>
#include <string_view>
#include <thread>

#include "core/log.h"
#include "core/patch_progress.h"
#include "core/text.h"
#include "core/user_paths.h"
#include "net/endpoints.h"
#include "patch/patch_thread.h"
#include "platform/platform.h"
#include "web/browser_view.h"
#include "web/client_sync.h"
#include "web/page_messages.h"
#include "web/report_feed.h"
#include "web/web_origin.h"

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

std::u16string webServicePage(const char* path) {
    return toWide(webServiceUrl + path);
}

// Text from a page for the log: one line, at most `limit` characters, nothing the conversion to
// the log's code page would refuse.
std::string logText(std::u16string_view text, std::size_t limit) {
    const auto high = [](char16_t c) { return c >= 0xD800 && c < 0xDC00; };
    const auto low = [](char16_t c) { return c >= 0xDC00 && c < 0xE000; };
    std::u16string line;
    for (std::size_t i = 0; i < text.size() && i < limit; ++i) {
        const char16_t c = text[i];
        if (high(c) && i + 1 < text.size() && i + 1 < limit && low(text[i + 1])) {
            line += text.substr(i++, 2);
            continue;
        }
        const bool unfit =
            c < u' ' || (c >= 0x7F && c < 0xA0) || c == 0x2028 || c == 0x2029 || high(c) || low(c);
        line += unfit ? u'?' : c;
    }
    return toNarrow(line) + (text.size() > limit ? "..." : "");
}

std::string senderText(const std::u16string& source) {
    if (const auto origin = webOrigin(source)) return originText(*origin);
    return source.empty() ? "an unknown page" : logText(source, 40);
}

void openOutside(const std::u16string& url) {
    // Browsers hand out URLs with blanks and quotes escaped; one that still holds them does not
    // go to the shell.
    const bool plain = std::all_of(url.begin(), url.end(),
                                   [](char16_t c) { return c > u' ' && c < 0x7F && c != u'"'; });
    if (!webOrigin(url) || !plain) {
        logLine("Refused to open " + logText(url, 100));
        return;
    }
    logLine("Opening in the browser: " + logText(url, 100));
    if (browserOpener)
        browserOpener(url);
    else
        platform::shellOpen(url);
}

}  // namespace

std::u16string patcherPageUrl() {
    return webServicePage("/patcher/");
}
std::u16string reportPageUrl() {
    return webServicePage("/patcher/report.html");
}
std::u16string clientPageUrl() {
    return webServicePage("/launcher_client/index.php");
}
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
            if (startClientSync()) {
                lastClientSync = now;
            } else {
                logLine("The settings and account sync is still running: this load starts none");
            }
        }
    }
}

void onWebMessageReceived(const std::u16string& source,
                          const std::optional<std::u16string>& message) {
    if (!isWebServiceOrigin(source)) {
        logLine("Page message from " + senderText(source) +
                " ignored: " + (message ? logText(*message, 60) : "(not a string)"));
        return;
    }
    if (message) onWebMessage(mainWindow, *message);
}

bool onTopLevelNavigation(const std::u16string& url) {
    if (isWebServiceOrigin(url)) return true;
    openOutside(url);
    return false;
}

bool onFrameNavigation(const std::u16string& url) {
    const std::string scheme = urlScheme(url);
    for (const char* framed : {"http", "https", "about", "data", "blob"})
        if (scheme == framed) return true;
    logLine("Refused to open " + logText(url, 100));
    return false;
}

void onNewWindowRequested(const std::u16string& url) {
    openOutside(url);
}
