#include "launcher/progress_pump.h"

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "core/background_task.h"

#include "core/format.h"
#include "core/ini_document.h"
#include "core/patch_progress.h"
#include "patch/patch_thread.h"
#include "patch/version_file.h"
#include "web/browser_host.h"
#include "web/browser_view.h"
#include "web/page_messages.h"

std::chrono::milliseconds clientPageDelay{5000};
std::chrono::milliseconds versionRecheckPause{3000};

namespace {
// When the client page is due after a completed run; the window keeps ticking, painting and
// answering the page meanwhile instead of sleeping through the wait.
std::optional<std::chrono::steady_clock::time_point> clientPageDue;
// The patch run that the pending switch belongs to: a repair starts another, which cancels it.
std::uint32_t clientPageRun = 0;

// The server's version, asked for off the UI thread once a run has completed: the tick only looks
// at the answer. An answer that differs from the installed version is asked for again after a
// pause, not on every tick.
struct VersionCheck {
    BackgroundTask task;
    std::mutex lock;
    std::optional<std::string> answer;                    // under `lock`
    std::chrono::steady_clock::time_point nextAllowed{};  // UI thread only
};
VersionCheck versionCheck;

// The answer of a finished check, taken; or nothing, after starting a check when none runs.
std::optional<std::string> serverVersionAnswer() {
    {
        const std::lock_guard lock(versionCheck.lock);
        if (versionCheck.answer) return std::exchange(versionCheck.answer, std::nullopt);
    }
    if (std::chrono::steady_clock::now() < versionCheck.nextAllowed) return std::nullopt;
    versionCheck.task.start([] {
        std::string version = fetchServerVersion();
        const std::lock_guard lock(versionCheck.lock);
        versionCheck.answer = std::move(version);
    });
    return std::nullopt;
}
}  // namespace

namespace {

// The texts of a finished run say how it ended, and carry the notice, if any, behind them.
void sendCompleteTexts(const std::u16string& prefix) {
    std::u16string headline = u"Update Complete";
    std::u16string subline = u" Verify Installation...";
    switch (PatchProgress.outcome) {
        case Incomplete:
            headline = u"Update Incomplete";
            subline =
                u"The update could not be completed; it will be tried again at the next start.";
            break;
        case DiskFull:
            headline = u"Update Incomplete: The Disk Is Full";
            subline =
                u"Free some space on the disk of the >ORV< installation; the update will be tried "
                u"again at the next start.";
            break;
        case Unchecked:
            headline = u"Download Server Unreachable";
            subline = u"The >ORV< installation was not checked.";
            break;
        case NoServerVersion:
            headline = u"No Current Version Published";
            subline =
                u"The download server names no current version; the >ORV< installation was "
                u"not checked.";
            break;
        default:
            break;
    }
    if (const std::u16string notice = PatchProgress.notice.get(); !notice.empty())
        subline += u" " + notice;
    postText(u"ut1", prefix + headline);
    postText(u"ut2", subline);
}

void sendStatusTexts(std::int32_t phase, const std::u16string& prefix) {
    switch (phase) {
        case Idle:
            postText(u"ut1", u"");
            postText(u"ut2", u"");
            break;
        case Scanning:
            postText(u"ut1", prefix + u"Scanning >ORV< Installation...");
            postText(u"ut2", u"Please be patient while the installation is being checked.");
            break;
        case Downloading:
            postText(u"ut1", prefix + u"Downloading >ORV< VersionFile...");
            postText(u"ut2", u"Please be patient while downloading the VersionFile.");
            break;
        case Patching:
            postText(u"ut1", prefix + u"Patching >ORV< Installation...");
            postText(u"ut2", u"Please be patient while installation is being patched.");
            break;
        case Complete:
            sendCompleteTexts(prefix);
            break;
        default:
            break;
    }
}

// Resetting the percentages keeps later ticks from finishing the run again.
void showClientPageWhenDue() {
    // A repair meanwhile started another run, whose own end decides when the page is shown.
    if (PatchProgress.phase != Complete || patchRunsClaimed != clientPageRun) {
        clientPageDue.reset();
        return;
    }
    if (std::chrono::steady_clock::now() < *clientPageDue) return;
    clientPageDue.reset();
    PatchProgress.overallProgress.exchange(0);
    PatchProgress.fileProgress.exchange(0);
    if (webView) webView->navigate(clientPageUrlWithToken());
}

}  // namespace

void waitForVersionCheck() {
    versionCheck.task.waitIdle();
}

void progressTick() {
    const std::int32_t phase = PatchProgress.phase;
    const std::int32_t step = PatchProgress.step;
    const std::int32_t stepCount = PatchProgress.stepCount;
    sendStatusTexts(phase, u"STEP " + decimal(step) + u"/" + decimal(stepCount) + u" - ");

    const bool onPatcherPage = currentUrl == patcherPageUrl();
    if (onPatcherPage) {
        const FileLine file = PatchProgress.fileLine();
        postProgress(PatchProgress.overallProgress, file.progress, file.name);
    }
    if (clientPageDue) return showClientPageWhenDue();
    const bool bothFull = PatchProgress.fileProgress == 100 && PatchProgress.overallProgress == 100;
    if (bothFull && phase == Complete && onPatcherPage && webView) {
        webView->navigate(clientPageUrlWithToken());
    }
    // An incomplete or unchecked run has nothing to compare: the move above is all it gets.
    if (bothFull && step == stepCount && PatchProgress.outcome == Applied) {
        // The run ended with its last update applied: show the client page once the installed
        // version is the server's, after a pause that lets the player see the finished run.
        const std::optional<std::string> server = serverVersionAnswer();
        if (server && *server == readClientVersion()) {
            clientPageDue = std::chrono::steady_clock::now() + clientPageDelay;
            clientPageRun = patchRunsClaimed;
            showClientPageWhenDue();
        } else if (server) {
            versionCheck.nextAllowed = std::chrono::steady_clock::now() + versionRecheckPause;
        }
    }
}
