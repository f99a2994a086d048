#include "launcher/self_update.h"

#include "core/log.h"
#include "core/text.h"
#include "launcher/version.h"
#include "net/download.h"
#include "net/endpoints.h"
#include "patch/version_file.h"
#include "platform/platform.h"

void checkLauncherUpdate() {
    const std::string serverVersion = fetchLauncherVersion();
    if (serverVersion == LauncherVersion) {
        logLine("Launcher is up to date.");
        return;
    }
    logLine("Launcher outdated - New Version: " + serverVersion);
    const auto answer = platform::messageBox(
        "A new version is available. Version: " + serverVersion + ".\nDo you want to update now?",
        "Update Available", platform::MessageKind::Question);
    if (answer != platform::MessageAnswer::Yes) {
        logLine("User chose not to update.");
        return;
    }
    logLine("User chose to update.");
    const std::string setupPath = std::string(".") + platform::pathSeparator + "ORV-Setup.exe";
    downloadFile(downloadServerUrl + "/ORV-Setup.exe", setupPath, "", "", true);
    platform::shellOpen(toWide(setupPath));
    logLine("Started Setup");
    platform::exitProcess(0);
}
