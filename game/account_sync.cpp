#include "game/account_sync.h"

#include "core/ini_document.h"
#include "core/log.h"
#include "core/user_paths.h"
#include "game/game_registry.h"
#include "game/service_answer.h"
#include "net/endpoints.h"
#include "net/fetch.h"

namespace {

bool usable(const std::string& value) {
    return !value.empty() && value != "false" && !breaksStoredLine(value);
}

}  // namespace

void syncAccount() {
    syncAccount(webServiceUrl);
}

void syncAccount(const std::string& serviceUrl) {
    noteGameDocumentsFolder();
    const std::string body =
        fetchUrl(serviceUrl + "/launcher_client/index.php?a=getaccount&token=" + clientToken.get());
    if (body.empty()) {
        logLine(
            "The account server is not reachable or no data could be read. Please contact an "
            "administrator.");
        return;
    }

    const auto members =
        readStringMembers(nullQuotedFalse(body), {"error", "MPAccountName", "MPAccountNameSig"});
    std::string error = "Invalid account data received.";
    if (members && usable((*members)[1]) && usable((*members)[2])) error = (*members)[0];
    if (!error.empty()) {
        logLine("Error: " + error);
        return;
    }

    const std::string& name = (*members)[1];
    const std::string& signature = (*members)[2];
    const std::string path = clientSettingsPath.get();
    IniDocument::setValue(path, "MPID", "MPAccountName", name);
    IniDocument::setValue(path, "MPID", "MPAccountNameSig", signature);
    setGameRegistryValue("MPAccountName", name);
    setGameRegistryValue("MPAccountNameSig", signature);
}
