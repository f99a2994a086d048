#include "launcher/self_update.h"

#include "core/log.h"
#include "core/patch_progress.h"
#include "core/text.h"
#include "launcher/version.h"
#include "net/curl_handle.h"
#include "net/download.h"
#include "net/endpoints.h"
#include "net/fetch.h"
#include "patch/update_signatures.h"
#include "patch/version_file.h"
#include "platform/platform.h"

void checkLauncherUpdate() {
    // Before the window: a server that does not answer holds the start no longer than it takes
    // to give up on one connection.
    const SignedDocument versionFile = fetchVersionFile(downloadServerUrl, connectTimeout);
    if (versionFile.refused) {
        logLine("The version file was refused: the launcher's version was not checked");
        return;
    }
    if (!versionFile.body) {
        logLine("The download server could not be reached: the launcher's version was not checked");
        return;
    }
    const std::string serverVersion = readVersionFile(*versionFile.body).launcherVersion;
    if (serverVersion.empty()) {
        logLine("The version file names no launcher: the launcher's version was not checked");
        return;
    }
    if (serverVersion == LauncherVersion) {
        logLine("Launcher is up to date.");
        return;
    }
    logLine("Launcher outdated - New Version: " + serverVersion);
    if (platform::setupUpdatesLauncher) {
        offerLauncherSetup(serverVersion);
    } else {
        announceNewerLauncher(serverVersion);
    }
}

void offerLauncherSetup(const std::string& serverVersion) {
    const auto answer = platform::messageBox(
        "A new version is available. Version: " + serverVersion + ".\nDo you want to update now?",
        "Update Available", platform::MessageKind::Question);
    if (answer != platform::MessageAnswer::Yes) {
        logLine("User chose not to update.");
        return;
    }
    logLine("User chose to update.");
    const std::string setupPath = std::string(".") + platform::pathSeparator + "ORV-Setup.exe";
    const std::string setupUrl = downloadServerUrl + "/ORV-Setup.exe";
    const auto signature = signatureCheckFor(setupUrl);
    if (!downloadFile(setupUrl, setupPath, "", "", true, OnMismatch::Retry, nullptr,
                      signature.get())) {
        logLine("The setup could not be saved: the launcher goes on without updating");
        return;
    }
    platform::shellOpen(toWide(setupPath));
    logLine("Started Setup");
    platform::exitProcess(0);
}

void announceNewerLauncher(const std::string& serverVersion) {
    // The setup on the server is a Windows program: this launcher comes from the mod's site.
    logLine("Launcher " + serverVersion + " is to be had from " + webServiceUrl);
    PatchProgress.notice.set(
        toWide("Launcher " + serverVersion + " is available from " + webServiceUrl + "."));
}
