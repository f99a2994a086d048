#include "web/page_messages.h"

#include <filesystem>

#include "core/format.h"
#include "core/game_folder.h"
#include "core/ini_document.h"
#include "core/log.h"
#include "core/patch_progress.h"
#include "core/text.h"
#include "core/user_paths.h"
#include "patch/patch_run.h"
#include "platform/platform.h"
#include "web/browser_host.h"
#include "web/browser_view.h"
#include "web/client_sync.h"
#include "web/json_text.h"

std::int32_t reportPage = 0;

namespace {

void post(const std::u16string& text) {
    if (webView) webView->postWebMessageAsString(text);
}

void repairInstallation() {
    logLine("Repair " + gameFolderName);
    resetVersionForRepair();
    // A game still running holds its files; the repair goes on and the patch run restores what
    // it can.
    const std::string exeFolder = std::string(".") + platform::pathSeparator + gameFolderName +
                                  platform::pathSeparator + "EXE";
    std::error_code error;
    std::filesystem::remove_all(toPath(exeFolder), error);
    if (error) logLine("Error deleting " + exeFolder + ": " + error.message());
    PatchProgress.fileProgress.exchange(0);
    PatchProgress.overallProgress.exchange(0);
    PatchProgress.phase = Idle;
    if (webView) webView->navigate(patcherPageUrl());
}

}  // namespace

void postProgress(std::int32_t overallProgress, std::int32_t fileProgress,
                  const std::u16string& fileName) {
    post(u"{\"action\": \"updateProgress\", \"overallProgress\": " + decimal(overallProgress) +
         u", \"fileProgress\": " + decimal(fileProgress) + u", \"fileName\": \"" +
         jsonEscape(fileName) + u"\"}");
}

void postText(const std::u16string& elementId, const std::u16string& newText) {
    post(u"{\"action\": \"updateText\", \"elementId\": \"" + jsonEscape(elementId) +
         u"\", \"newText\": \"" + jsonEscape(newText) + u"\"}");
}

void onWebMessage(HostWindow* window, const std::u16string& command) {
    if (command == u"close") {
        logLine("Launcher exit");
        if (window) window->destroy();
        platform::exitProcess(0);
    } else if (command == u"StartAstrovance") {
        logLine("Start " + gameFolderName);
        startGameWhenSynced();
    } else if (command == u"RepairAstrovance") {
        repairInstallation();
    } else if (command == u"loadMore") {
        ++reportPage;
        if (webView) webView->reload();
    } else if (command == u"OpenSettingsFolder") {
        platform::shellOpen(toWide(userFolder.get()));
    }
}
