#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sys/socket.h>
#include <netinet/in.h>
#include <arpa/inet.h>
#include <unistd.h>

#include <algorithm>
#include <regex>

#include "service/account_signature.h"
#include "service/web_service.h"
#include "tests/service/running_service.h"

using nlohmann::json;

namespace {

const json defaultSettings = {{"windowmode", "true"},
                              {"autoconnect", "off"},
                              {"update_lanlist", "true"},
                              {"use4gbvram", "off"},
                              {"runinbackground", "off"}};

json getJson(httplib::Client& client, const std::string& path, int expectedStatus = 200) {
    const auto answer = client.Get(path);
    if (!answer) throw std::runtime_error("no answer for " + path);
    EXPECT_EQ(answer->status, expectedStatus) << path;
    EXPECT_EQ(answer->get_header_value("Content-Type"), "application/json") << path;
    return json::parse(answer->body);
}

std::string action(const std::string& name, const std::string& token) {
    return "/launcher_client/index.php?a=" + name + "&token=" + token;
}

httplib::Result postSettings(httplib::Client& client, const std::string& token,
                             const std::string& body,
                             const std::string& contentType = "application/json") {
    return client.Post("/launcher_client/index.php?a=savesettings&token=" + token, body,
                       contentType.c_str());
}

TEST(WebServicePages, PatcherRedirectsToItsFolderWhereThePageIs) {
    RunningService service;
    auto client = service.web();
    const auto redirect = client.Get("/patcher");
    ASSERT_TRUE(redirect);
    EXPECT_EQ(redirect->status, 302);
    EXPECT_EQ(redirect->get_header_value("Location"), "/patcher/");

    const auto page = client.Get("/patcher/");
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200);
    EXPECT_EQ(page->get_header_value("Content-Type"), "text/html; charset=utf-8");
    EXPECT_NE(page->body.find("id=\"ut1\""), std::string::npos);
    EXPECT_NE(page->body.find("id=\"ut2\""), std::string::npos);

    const auto root = client.Get("/");
    ASSERT_TRUE(root);
    EXPECT_EQ(root->status, 302);
    EXPECT_EQ(root->get_header_value("Location"), "/patcher/");
}

TEST(WebServicePages, ServesTheReportPageAndAnswers404ForUnknownPaths) {
    RunningService service;
    auto client = service.web();
    const auto report = client.Get("/patcher/report.html");
    ASSERT_TRUE(report);
    EXPECT_EQ(report->status, 200);
    EXPECT_EQ(report->get_header_value("Content-Type"), "text/html; charset=utf-8");
    EXPECT_NE(report->body.find("Load more"), std::string::npos);

    for (const char* path : {"/patcher/missing.html", "/launcher_client/", "/assets/../service.cpp",
                             "/assets/%2e%2e/patcher/index.html"}) {
        SCOPED_TRACE(path);
        const auto answer = client.Get(path);
        ASSERT_TRUE(answer);
        EXPECT_TRUE(answer->status == 404 || answer->status == 403);
    }
}

TEST(WebServiceClientPage, FirstVisitRegistersTheTokenSetsTheCookieAndLandsWithoutQuery) {
    RunningService service;
    auto client = service.web();
    const auto visit = client.Get("/launcher_client/index.php?token=1a2b3c4d");
    ASSERT_TRUE(visit);
    EXPECT_EQ(visit->status, 302);
    EXPECT_EQ(visit->get_header_value("Location"), "/launcher_client/index.php");
    const std::string cookie = visit->get_header_value("Set-Cookie");
    EXPECT_EQ(cookie.rfind("orv_client=1a2b3c4d;", 0), 0u) << cookie;
    EXPECT_NE(cookie.find("HttpOnly"), std::string::npos);

    const auto page = client.Get("/launcher_client/index.php", {{"Cookie", "orv_client=1a2b3c4d"}});
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200);
    EXPECT_EQ(page->get_header_value("Content-Type"), "text/html; charset=utf-8");
    EXPECT_NE(page->body.find("StartAstrovance"), std::string::npos);

    // The registration counts: the launcher's actions now know the token.
    EXPECT_EQ(getJson(client, action("getgamesettings", "1a2b3c4d")), defaultSettings);
}

TEST(WebServiceClientPage, RefusesTokensThatCannotBeStoredSafely) {
    RunningService service;
    auto client = service.web();
    for (const std::string& token :
         std::vector<std::string>{"a%3Bb", "a%20b", std::string(65, 'a'), "%0d%0aX:1"}) {
        SCOPED_TRACE(token);
        const auto answer = client.Get("/launcher_client/index.php?token=" + token);
        ASSERT_TRUE(answer);
        EXPECT_EQ(answer->status, 400);
        EXPECT_FALSE(answer->has_header("Set-Cookie"));
    }
}

TEST(WebServiceActions, AnswerTheLaunchersThreeRequests) {
    RunningService service;
    service.registerClient("cafe01");
    auto client = service.web();

    const auto settingsAnswer = client.Get(action("getgamesettings", "cafe01"));
    ASSERT_TRUE(settingsAnswer);
    // The launcher turns the raw text "false" in quotes into null and then rejects the answer.
    EXPECT_EQ(settingsAnswer->body.find("\"false\""), std::string::npos);
    EXPECT_EQ(json::parse(settingsAnswer->body), defaultSettings);

    const json account = getJson(client, action("getaccount", "cafe01"));
    ASSERT_TRUE(account.is_object());
    EXPECT_EQ(account.size(), 2u);
    const std::string name = account.value("MPAccountName", "");
    EXPECT_TRUE(std::regex_match(name, std::regex("Pilot-[0-9A-F]{6}"))) << name;
    const json store = json::parse(readFile(service.options().storeFile));
    EXPECT_EQ(account.value("MPAccountNameSig", ""), signAccountName(store["secret"], name));

    const auto list = client.Get(action("getlanserver", "cafe01"));
    ASSERT_TRUE(list);
    EXPECT_EQ(list->status, 200);
    EXPECT_EQ(list->get_header_value("Content-Type"), "text/plain; charset=utf-8");
    EXPECT_EQ(list->body.rfind("[Server0]\r\nName=ORV Server\r\nAddress=" +
                                   service.options().gameServerAddress + "\r\nPort=",
                               0),
              0u)
        << list->body;
}

TEST(WebServiceActions, AccountsAreStablePerTokenAndDistinctBetweenTokens) {
    RunningService service;
    service.registerClient("aaaa");
    service.registerClient("bbbb");
    auto client = service.web();
    const json first = getJson(client, action("getaccount", "aaaa"));
    service.registerClient("aaaa");  // a second visit keeps the account
    EXPECT_EQ(getJson(client, action("getaccount", "aaaa")), first);
    const json second = getJson(client, action("getaccount", "bbbb"));
    EXPECT_NE(first["MPAccountName"], second["MPAccountName"]);
    EXPECT_NE(first["MPAccountNameSig"], second["MPAccountNameSig"]);
}

TEST(WebServiceActions, UnknownTokenMissingAndUnknownActions) {
    RunningService service;
    service.registerClient("known");
    auto client = service.web();
    const json unknown = {{"error", "Unknown client token."}};
    EXPECT_EQ(getJson(client, action("getgamesettings", "nobody")), unknown);
    EXPECT_EQ(getJson(client, action("getaccount", "nobody")), unknown);
    EXPECT_EQ(getJson(client, "/launcher_client/index.php?a=getaccount"), unknown);

    // The launcher saves this answer as the game's server list unread: never an error text.
    const auto list = client.Get(action("getlanserver", "nobody"));
    ASSERT_TRUE(list);
    EXPECT_EQ(list->status, 200);
    EXPECT_EQ(list->body.rfind("[Server0]", 0), 0u);

    for (const char* path : {"/launcher_client/index.php?a=&token=known",
                             "/launcher_client/index.php?a=deleteall&token=known",
                             "/launcher_client/index.php?a=savesettings&token=known",
                             "/launcher_client/index.php?foo=bar"}) {
        SCOPED_TRACE(path);
        const json answer = getJson(client, path, 400);
        EXPECT_TRUE(answer.contains("error"));
    }
}

TEST(WebServiceSettings, WhatThePageSavesIsWhatTheLauncherGets) {
    RunningService service;
    const std::string cookie = service.registerClient("5eed");
    auto client = service.web();

    auto saved = postSettings(client, "5eed", R"({"autoconnect": true, "windowmode": "off", "use4gbvram": "true"})");
    ASSERT_TRUE(saved);
    EXPECT_EQ(saved->status, 200);
    json expected = defaultSettings;
    expected["autoconnect"] = "true";
    expected["windowmode"] = "off";
    expected["use4gbvram"] = "true";
    EXPECT_EQ(json::parse(saved->body), expected);
    EXPECT_EQ(getJson(client, action("getgamesettings", "5eed")), expected);

    // The page itself identifies the launcher by its cookie alone.
    saved = client.Post("/launcher_client/index.php?a=savesettings", {{"Cookie", cookie}},
                        R"({"runinbackground": true, "autoconnect": false})", "application/json");
    ASSERT_TRUE(saved);
    EXPECT_EQ(saved->status, 200);
    expected["runinbackground"] = "true";
    expected["autoconnect"] = "off";
    EXPECT_EQ(getJson(client, action("getgamesettings", "5eed")), expected);
    const auto raw = client.Get(action("getgamesettings", "5eed"));
    EXPECT_EQ(raw->body.find("\"false\""), std::string::npos);
}

TEST(WebServiceSettings, RejectedUpdatesChangeNothing) {
    RunningService service;
    service.registerClient("5eed");
    auto client = service.web();
    struct Bad {
        const char* body;
        const char* contentType;
        int status;
    };
    const Bad cases[] = {
        {"not json", "application/json", 400},
        {"[1, 2]", "application/json", 400},
        {R"({"windowmode": "false"})", "application/json", 400},
        {R"({"autoconnect": true, "windowmode": 1})", "application/json", 400},
        {R"({"autoconnect": true})", "text/plain", 415},
        {R"({"autoconnect": true})", "application/x-www-form-urlencoded", 415},
    };
    for (const auto& bad : cases) {
        SCOPED_TRACE(bad.body);
        const auto answer = postSettings(client, "5eed", bad.body, bad.contentType);
        ASSERT_TRUE(answer);
        EXPECT_EQ(answer->status, bad.status);
        EXPECT_TRUE(json::parse(answer->body).contains("error"));
    }
    const auto tooLarge = postSettings(client, "5eed", "{\"x\": \"" + std::string(5000, 'x') + "\"}");
    ASSERT_TRUE(tooLarge);
    EXPECT_EQ(tooLarge->status, 413);
    EXPECT_EQ(getJson(client, action("getgamesettings", "5eed")), defaultSettings);

    const auto unknown = postSettings(client, "nobody", R"({"autoconnect": true})");
    ASSERT_TRUE(unknown);
    EXPECT_EQ(json::parse(unknown->body), json({{"error", "Unknown client token."}}));
}

TEST(WebServiceStore, SurvivesARestartWithSettingsAccountAndSignature) {
    RunningService service;
    service.registerClient("persist");
    auto client = service.web();
    ASSERT_TRUE(postSettings(client, "persist", R"({"update_lanlist": false})"));
    const json account = getJson(client, action("getaccount", "persist"));

    service.restart();
    auto again = service.web();
    json expected = defaultSettings;
    expected["update_lanlist"] = "off";
    EXPECT_EQ(getJson(again, action("getgamesettings", "persist")), expected);
    EXPECT_EQ(getJson(again, action("getaccount", "persist")), account);
}

TEST(WebServiceLog, LinesNameMethodPathAndStatusButNeverTheToken) {
    RunningService service;
    service.registerClient("f00dfeed");
    auto client = service.web();
    getJson(client, action("getaccount", "f00dfeed"));
    getJson(client, action("getaccount", "nobody"));
    ASSERT_TRUE(client.Get("/nowhere"));
    service.stop();
    // Lines of different connections may come in either order.
    auto lines = service.logLines();
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "web GET /launcher_client/index.php?a=getaccount&token=*** 200",
                         "web GET /launcher_client/index.php?a=getaccount&token=*** 200",
                         "web GET /launcher_client/index.php?token=*** 302",
                         "web GET /nowhere 404",
                     }));
}

TEST(CookieValue, FindsOneCookieAmongOthers) {
    EXPECT_EQ(cookieValue("orv_client=abc", "orv_client"), "abc");
    EXPECT_EQ(cookieValue("theme=dark; orv_client=abc; x=1", "orv_client"), "abc");
    EXPECT_EQ(cookieValue("xorv_client=abc", "orv_client"), "");
    EXPECT_EQ(cookieValue("", "orv_client"), "");
}

// A listening socket on a free loopback port, held for the length of a test.
class BusyPort {
public:
    BusyPort() {
        socket_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(socket_, reinterpret_cast<sockaddr*>(&address), sizeof(address));
        ::listen(socket_, 1);
        socklen_t length = sizeof(address);
        ::getsockname(socket_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
    }
    ~BusyPort() { ::close(socket_); }
    int port() const { return port_; }

private:
    int socket_ = -1;
    int port_ = 0;
};

TEST(ServiceStart, ReportsABusyPortForEitherServer) {
    TempDir folder;
    BusyPort busy;
    for (const bool downloadBusy : {true, false}) {
        ServiceOptions options = testOptions(folder);
        (downloadBusy ? options.downloadPort : options.webPort) = busy.port();
        Service service(options, nullptr);
        const std::string problem = service.start();
        EXPECT_NE(problem.find(downloadBusy ? "download server" : "web service"), std::string::npos)
            << problem;
        EXPECT_NE(problem.find(std::to_string(busy.port()) + ": the port is already in use"),
                  std::string::npos)
            << problem;
    }
    // A second service on ports taken by a running one fails the same way.
    RunningService first;
    ServiceOptions options = testOptions(folder);
    options.webPort = first.webPort();
    Service second(options, nullptr);
    EXPECT_NE(second.start().find("already in use"), std::string::npos);
}

TEST(ServiceStart, ReportsMissingFolders) {
    TempDir folder;
    ServiceOptions options = testOptions(folder);
    options.downloadFolder = folder.path() / "no-such-folder";
    EXPECT_NE(Service(options, nullptr).start().find("no-such-folder does not exist"), std::string::npos);
    options = testOptions(folder);
    options.pagesFolder = folder.path() / "no-pages";
    EXPECT_NE(Service(options, nullptr).start().find("no-pages does not exist"), std::string::npos);
}

TEST(ServiceStart, StopClosesBothPorts) {
    RunningService service;
    auto web = service.web();
    auto download = service.download();
    ASSERT_TRUE(web.Get("/patcher/"));
    service.stop();
    web.set_connection_timeout(1);
    download.set_connection_timeout(1);
    EXPECT_FALSE(web.Get("/patcher/"));
    EXPECT_FALSE(download.Get("/version.ini"));
}

}  // namespace
