#include "game/settings_sync.h"

#include <algorithm>

#include "core/ini_document.h"
#include "core/log.h"
#include "core/user_paths.h"
#include "game/service_answer.h"
#include "net/endpoints.h"
#include "net/fetch.h"

void syncGameSettings() {
    syncGameSettings(webServiceUrl);
}

void syncGameSettings(const std::string& serviceUrl) {
    const std::string body = fetchUrl(
        serviceUrl + "/launcher_client/index.php?a=getgamesettings&token=" + clientToken.get());
    if (body.empty()) {
        logLine("Error: Unable to retrieve game settings. Server unreachable or data unreadable.");
        return;
    }

    const auto members = readStringMembers(
        nullQuotedFalse(body),
        {"error", "windowmode", "autoconnect", "update_lanlist", "use4gbvram", "runinbackground"});
    std::string error = "Invalid game settings received.";
    const auto unusable = [](const std::string& value) {
        return value.empty() || breaksStoredLine(value);
    };
    if (members && std::none_of(members->begin() + 1, members->end(), unusable))
        error = (*members)[0];
    if (!error.empty()) {
        logLine("Error updating game settings: " + error);
        return;
    }

    const std::string path = clientSettingsPath.get();
    const auto& values = *members;
    IniDocument::setValue(path, "Config", "WindowMode", values[1]);
    IniDocument::setValue(path, "Config", "AutoConnect", values[2]);
    IniDocument::setValue(path, "Config", "UpdateLanList", values[3]);
    IniDocument::setValue(path, "Config", "Use4GBVRAM", values[4]);
    IniDocument::setValue(path, "Config", "RuninBackground", values[5]);
}
