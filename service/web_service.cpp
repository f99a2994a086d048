#include "service/web_service.h"

#include <nlohmann/json.hpp>

#include "service/file_response.h"
#include "service/lan_server_list.h"
#include "service/test_driver.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

constexpr const char* clientPagePath = "/launcher_client/index.php";
constexpr size_t maxSettingsBody = 4096;

void sendJson(httplib::Response& response, int status, const json& body) {
    response.status = status;
    response.set_header("Cache-Control", "no-store");
    response.set_content(body.dump(), "application/json");
}

void sendPage(httplib::Response& response, const fs::path& page, const WebServiceConfig& config) {
    if (!config.testDriverFolder.empty()) return sendDrivenPage(response, page);
    if (!sendFile(response, page)) return sendStatus(response, 404, "Not Found");
    // The launcher must always see the pages of the running service, never a cached copy.
    response.set_header("Cache-Control", "no-store");
}

// The token of a request: the "token" parameter, else the cookie set at the launcher's visit
// (the client page's own requests carry only the cookie).
std::string requestToken(const httplib::Request& request) {
    if (request.has_param("token")) return request.get_param_value("token");
    return cookieValue(request.get_header_value("Cookie"), clientCookieName);
}

const json unknownClient = {{"error", "Unknown client token."}};

void answerAction(const httplib::Request& request, httplib::Response& response,
                  const WebServiceConfig& config, const ClientStore& store) {
    const std::string action = request.get_param_value("a");
    if (action == "getlanserver") {
        // The launcher saves this answer as the game's server list without reading it, so it is
        // always the list itself: an error text would end up in the game's file. The list is
        // the same for everyone.
        response.set_header("Cache-Control", "no-store");
        response.set_content(lanServerList(config.gameServerAddress, config.gamePort),
                             "text/plain; charset=utf-8");
        return;
    }
    if (action != "getgamesettings" && action != "getaccount") {
        return sendJson(response, 400,
                        {{"error", action.empty() ? "Missing action." : "Unknown action."}});
    }
    if (!config.testDriverFolder.empty()) holdWhileTheTestAsks(config.testDriverFolder);
    const auto client = store.find(requestToken(request));
    if (!client) return sendJson(response, 200, unknownClient);
    if (action == "getgamesettings")
        return sendJson(response, 200, settingsToJson(client->settings));
    sendJson(response, 200,
             {{"MPAccountName", client->accountName},
              {"MPAccountNameSig", store.signature(client->accountName)}});
}

void registerClient(const httplib::Request& request, httplib::Response& response,
                    ClientStore& store) {
    const std::string token = request.get_param_value("token");
    if (!isValidToken(token)) return sendStatus(response, 400, "Invalid client token");
    if (!store.registerClient(token)) {
        return sendStatus(response, 503, "The service cannot register this launcher right now");
    }
    // The launcher relies on the client page ending up at its address without a query.
    response.set_header("Set-Cookie", std::string(clientCookieName) + "=" + token +
                                          "; Path=/; HttpOnly; SameSite=Lax");
    response.set_header("Cache-Control", "no-store");
    response.set_redirect(clientPagePath, 302);
}

void saveSettings(const httplib::Request& request, httplib::Response& response,
                  ClientStore& store) {
    if (request.get_param_value("a") != "savesettings") {
        return sendJson(response, 400, {{"error", "Unknown action."}});
    }
    // Only a script of the page itself can send JSON; a form of another site cannot.
    if (request.get_header_value("Content-Type").rfind("application/json", 0) != 0) {
        return sendJson(response, 415, {{"error", "Settings must be sent as JSON."}});
    }
    if (request.body.size() > maxSettingsBody) {
        return sendJson(response, 413, {{"error", "Settings too large."}});
    }
    const std::string token = requestToken(request);
    auto client = store.find(token);
    if (!client) return sendJson(response, 200, unknownClient);

    const json update = json::parse(request.body, nullptr, false);
    if (update.is_discarded())
        return sendJson(response, 400, {{"error", "Settings are not JSON."}});
    if (const std::string error = applySettingsUpdate(client->settings, update); !error.empty()) {
        return sendJson(response, 400, {{"error", error}});
    }
    if (!store.saveSettings(token, client->settings)) {
        return sendJson(response, 503, {{"error", "The settings could not be saved."}});
    }
    sendJson(response, 200, settingsToJson(client->settings));
}

}  // namespace

std::string cookieValue(const std::string& header, const std::string& name) {
    size_t start = 0;
    while (start < header.size()) {
        size_t end = header.find(';', start);
        if (end == std::string::npos) end = header.size();
        std::string pair = header.substr(start, end - start);
        const size_t first = pair.find_first_not_of(' ');
        pair = first == std::string::npos ? "" : pair.substr(first);
        if (pair.rfind(name + "=", 0) == 0) return pair.substr(name.size() + 1);
        start = end + 1;
    }
    return {};
}

void addWebRoutes(httplib::Server& server, const WebServiceConfig& config, ClientStore& store) {
    const fs::path pages = config.pagesFolder;

    server.Get("/", [](const httplib::Request&, httplib::Response& response) {
        response.set_redirect("/patcher/", 302);
    });
    // The launcher navigates to "/patcher" and expects to end up at "/patcher/".
    server.Get("/patcher", [](const httplib::Request&, httplib::Response& response) {
        response.set_redirect("/patcher/", 302);
    });
    server.Get("/patcher/", [pages, config](const httplib::Request&, httplib::Response& response) {
        sendPage(response, pages / "patcher" / "index.html", config);
    });
    server.Get("/patcher/report.html",
               [pages, config](const httplib::Request&, httplib::Response& response) {
                   sendPage(response, pages / "patcher" / "report.html", config);
               });
    server.Get(clientPagePath, [pages, config, &store](const httplib::Request& request,
                                                       httplib::Response& response) {
        if (request.has_param("a")) return answerAction(request, response, config, store);
        if (request.has_param("token")) return registerClient(request, response, store);
        if (!request.params.empty()) {
            return sendJson(response, 400, {{"error", "Missing action."}});
        }
        sendPage(response, pages / "launcher_client" / "index.html", config);
    });
    server.Post(clientPagePath,
                [&store](const httplib::Request& request, httplib::Response& response) {
                    saveSettings(request, response, store);
                });
    if (!config.testDriverFolder.empty()) addTestDriverRoutes(server, config.testDriverFolder);
    server.Get("/assets/.*", [pages](const httplib::Request& request, httplib::Response& response) {
        serveFromFolder(response, pages / "assets",
                        request.path.substr(std::string("/assets").size()));
    });
}
