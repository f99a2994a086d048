#include "game/game_start.h"

#include <filesystem>

#include "core/ini_document.h"
#include "core/log.h"
#include "core/text.h"
#include "core/user_paths.h"
#include "game/binary_patch.h"
#include "game/game_executable.h"
#include "net/download.h"
#include "net/endpoints.h"
#include "platform/platform.h"

std::string startParameters(bool windowMode, bool autoConnect) {
    std::string parameters;
    if (windowMode) parameters += " -w";
    if (autoConnect) parameters += " -I" + gameServerAddress;
    return parameters;
}

void startGame() {
    startGame(webServiceUrl);
}

void startGame(const std::string& serviceUrl) {
    const std::string settings = clientSettingsPath.get();
    const bool windowMode = IniDocument::getFlag(settings, "Config", "WindowMode");
    const bool autoConnect = IniDocument::getFlag(settings, "Config", "AutoConnect");
    const bool updateLanList = IniDocument::getFlag(settings, "Config", "UpdateLanList");

    if (updateLanList) {
        // No checksum is expected, so any copy on disk is replaced by the service's answer.
        downloadFile(
            serviceUrl + "/launcher_client/index.php?a=getlanserver&token=" + clientToken.get(),
            favServerPath.get(), "", "", true);
    }

    applyGamePatches();

    const std::string parameters = startParameters(windowMode, autoConnect);
    std::error_code error;
    const std::string root = pathText(std::filesystem::current_path(error));
    platform::startProgram(gameExecutable, parameters, error ? std::string() : root);
    logLine("Startparameters: " + parameters);
}
