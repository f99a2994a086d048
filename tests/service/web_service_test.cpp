#include "service/web_service.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <set>
#include <tuple>
#include <utility>

#include "service/account_signature.h"
#include "tests/service/running_service.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

const json defaultSettings = {{"windowmode", "true"},     {"autoconnect", "off"},
                              {"update_lanlist", "true"}, {"use4gbvram", "off"},
                              {"runinbackground", "off"}};
const json unknownClient = {{"error", "Unknown client token."}};

std::string action(const std::string& name, const std::string& token) {
    return "/launcher_client/index.php?a=" + name + "&token=" + token;
}

json getJson(httplib::Client& client, const std::string& path, int expectedStatus = 200) {
    const auto answer = client.Get(path);
    if (!answer) throw std::runtime_error("no answer for " + path);
    EXPECT_EQ(answer->status, expectedStatus) << path;
    EXPECT_EQ(answer->get_header_value("Content-Type"), "application/json") << path;
    // The launcher turns a quoted "false" into null and then rejects the whole answer.
    EXPECT_EQ(answer->body.find("\"false\""), std::string::npos) << path;
    return json::parse(answer->body);
}

httplib::Result postSettings(httplib::Client& client, const std::string& token, const std::string& body,
                             const char* contentType = "application/json") {
    return client.Post("/launcher_client/index.php?a=savesettings&token=" + token, body, contentType);
}

TEST(Pages, LoadNothingFromOutsideAndNeverTurnTextIntoMarkup) {
    // Players may be offline or behind a firewall; every font, script and image is local.
    const std::regex external(R"((src|href|url)\s*[=(]\s*["']?\s*(https?:)?//)", std::regex::icase);
    int files = 0;
    for (const auto& entry : fs::recursive_directory_iterator(ORV_TEST_PAGES_DIR)) {
        if (!entry.is_regular_file()) continue;
        ++files;
        SCOPED_TRACE(entry.path().string());
        const std::string text = readFile(entry.path());
        EXPECT_FALSE(std::regex_search(text, external));
        for (const char* sink : {"@import", "innerHTML", "outerHTML", "insertAdjacentHTML", "document.write", "eval("})
            EXPECT_EQ(text.find(sink), std::string::npos) << sink;
    }
    EXPECT_GE(files, 5);
}

TEST(WebService, FirstVisitSetsTheCookieThenServesThePagesWithAllTheyReference) {
    RunningService service;
    auto client = service.web();
    // A token goes into a header and the store: nothing may be injected through it.
    const std::tuple<const char*, int, const char*> landings[] = {
        {"/launcher_client/index.php?token=a%3Bb", 400, ""},
        {"/launcher_client/index.php?token=%0d%0aX:1", 400, ""},
        {"/", 302, "/patcher/"},
        {"/patcher", 302, "/patcher/"}};
    for (const auto& [path, status, location] : landings) {
        const auto answer = client.Get(path);
        ASSERT_TRUE(answer);
        EXPECT_EQ(answer->status, status) << path;
        EXPECT_EQ(answer->get_header_value("Location"), location) << path;
        EXPECT_FALSE(answer->has_header("Set-Cookie")) << path;
    }
    const auto visit = client.Get("/launcher_client/index.php?token=1a2b3c4d");
    ASSERT_TRUE(visit);
    EXPECT_EQ(visit->status, 302);
    EXPECT_EQ(visit->get_header_value("Location"), "/launcher_client/index.php");
    const std::string setCookie = visit->get_header_value("Set-Cookie");
    EXPECT_EQ(setCookie.rfind("orv_client=1a2b3c4d;", 0), 0u) << setCookie;
    EXPECT_NE(setCookie.find("HttpOnly"), std::string::npos);
    const std::string cookie = setCookie.substr(0, setCookie.find(';'));

    const std::pair<const char*, const char*> pages[] = {
        {"/patcher/", "<p id=\"ut2\">"},  // the launcher fills ut1 and ut2
        {"/patcher/report.html", "data-command=\"loadMore\""},
        {"/launcher_client/index.php", "data-command=\"StartAstrovance\""},
    };
    const std::regex reference(R"((?:src|href)="(/[^"#?]*))");
    std::set<std::string> checked;
    for (const auto& [page, mark] : pages) {
        SCOPED_TRACE(page);
        const auto answer = client.Get(page, {{"Cookie", cookie}});
        ASSERT_TRUE(answer);
        ASSERT_EQ(answer->status, 200);
        EXPECT_EQ(answer->get_header_value("Content-Type"), "text/html; charset=utf-8");
        EXPECT_EQ(answer->get_header_value("Cache-Control"), "no-store");
        EXPECT_NE(answer->body.find(mark), std::string::npos);
        for (std::sregex_iterator match(answer->body.begin(), answer->body.end(), reference), end;
             match != end; ++match) {
            if (!checked.insert((*match)[1]).second) continue;
            const auto resource = client.Get((*match)[1], {{"Cookie", cookie}});
            ASSERT_TRUE(resource);
            EXPECT_EQ(resource->status, 200) << (*match)[1];
        }
    }
    EXPECT_GE(checked.size(), 7u);  // the stylesheet, the bridge, three scripts, the mark, a page

    for (const char* path : {"/patcher/missing.html", "/launcher_client/", "/assets/../service.cpp",
                             "/assets/%2e%2e/patcher/index.html"}) {
        const auto answer = client.Get(path);
        ASSERT_TRUE(answer);
        EXPECT_TRUE(answer->status == 404 || answer->status == 403) << path;
    }
}

TEST(WebService, AnswersTheLaunchersRequestsAndKeepsWhatItSavesAcrossARestart) {
    RunningService service;
    const std::string cookie = service.registerClient("cafe01");
    auto client = service.web();
    const json account = getJson(client, action("getaccount", "cafe01"));
    EXPECT_EQ(account.size(), 2u);
    const std::string name = account.value("MPAccountName", "");
    EXPECT_TRUE(std::regex_match(name, std::regex("Pilot-[0-9A-F]{6}"))) << name;
    const json store = json::parse(readFile(service.options.storeFile));
    EXPECT_EQ(account.value("MPAccountNameSig", ""), signAccountName(store["secret"], name));
    service.registerClient("cafe01");  // a second visit keeps the account
    EXPECT_EQ(getJson(client, action("getaccount", "cafe01")), account);
    service.registerClient("cafe02");
    EXPECT_NE(getJson(client, action("getaccount", "cafe02"))["MPAccountName"], name);

    EXPECT_EQ(getJson(client, action("getgamesettings", "nobody")), unknownClient);
    const auto unknown = postSettings(client, "nobody", R"({"autoconnect": true})");
    ASSERT_TRUE(unknown);
    EXPECT_EQ(json::parse(unknown->body), unknownClient);
    // The launcher saves this answer as the game's server list unread: never an error text.
    const auto list = client.Get(action("getlanserver", "nobody"));
    ASSERT_TRUE(list);
    EXPECT_EQ(list->status, 200);
    EXPECT_EQ(list->get_header_value("Content-Type"), "text/plain; charset=utf-8");
    EXPECT_EQ(list->body.rfind("[Server0]\r\nName=ORV Server\r\nAddress=" +
                                   service.options.gameServerAddress + "\r\nPort=", 0), 0u) << list->body;
    for (const char* path : {"/launcher_client/index.php?a=deleteall&token=cafe01",
                             "/launcher_client/index.php?a=savesettings&token=cafe01",
                             "/launcher_client/index.php?foo=bar"})
        EXPECT_TRUE(getJson(client, path, 400).contains("error"));

    const struct {
        int status;
        std::string body;
        const char* contentType = "application/json";
    } rejected[] = {
        {400, "not json"}, {400, "[1, 2]"}, {400, R"({"windowmode": "false"})"},
        // A valid member before an invalid one must not be applied either.
        {400, R"({"autoconnect": true, "windowmode": 1})"},
        // Forms of other sites can post this, but not JSON.
        {415, R"({"autoconnect": true})", "text/plain"},
        {413, "{\"x\": \"" + std::string(5000, 'x') + "\"}"},
    };
    for (const auto& bad : rejected) {
        SCOPED_TRACE(bad.body.substr(0, 40));
        const auto answer = postSettings(client, "cafe01", bad.body, bad.contentType);
        ASSERT_TRUE(answer);
        EXPECT_EQ(answer->status, bad.status);
        EXPECT_TRUE(json::parse(answer->body).contains("error"));
    }
    EXPECT_EQ(getJson(client, action("getgamesettings", "cafe01")), defaultSettings);

    auto saved = postSettings(client, "cafe01", R"({"autoconnect": true, "windowmode": "off"})");
    ASSERT_TRUE(saved);
    EXPECT_EQ(saved->status, 200);
    json expected = defaultSettings;
    expected.update({{"autoconnect", "true"}, {"windowmode", "off"}});
    EXPECT_EQ(json::parse(saved->body), expected);
    // The page itself identifies the launcher by its cookie alone.
    saved = client.Post("/launcher_client/index.php?a=savesettings", {{"Cookie", cookie}},
                        R"({"runinbackground": true, "autoconnect": false})", "application/json");
    ASSERT_TRUE(saved);
    EXPECT_EQ(saved->status, 200);
    expected.update({{"runinbackground", "true"}, {"autoconnect", "off"}});
    EXPECT_EQ(getJson(client, action("getgamesettings", "cafe01")), expected);

    service.stop();
    service.start();
    auto again = service.web();
    EXPECT_EQ(getJson(again, action("getgamesettings", "cafe01")), expected);
    EXPECT_EQ(getJson(again, action("getaccount", "cafe01")), account);
}

TEST(WebService, CookieValueFindsTheWholeName) {
    EXPECT_EQ(cookieValue("theme=dark; orv_client=abc; x=1", "orv_client"), "abc");
    EXPECT_EQ(cookieValue("xorv_client=abc", "orv_client"), "");
    EXPECT_EQ(cookieValue("", "orv_client"), "");
}

// httplib's default SO_REUSEPORT would let a second service share the ports of a running one.
TEST(ServiceStart, RefusesBusyPortsAndMissingFoldersLogsNoTokenAndStopClosesBothPorts) {
    RunningService service;
    TempDir folder;
    const auto problem = [&](auto change) {
        ServiceOptions options = testOptions(folder);
        change(options);
        return Service(options, nullptr).start();
    };
    const std::string at = " cannot listen on 127.0.0.1:", inUse = ": the port is already in use";
    const fs::path none = folder.path() / "none";
    EXPECT_EQ(problem([&](ServiceOptions& o) { o.downloadPort = service.downloadPort; }),
              "the download server" + at + std::to_string(service.downloadPort) + inUse);
    EXPECT_EQ(problem([&](ServiceOptions& o) { o.webPort = service.webPort; }),
              "the web service" + at + std::to_string(service.webPort) + inUse);
    EXPECT_EQ(problem([&](ServiceOptions& o) { o.downloadFolder = none; }),
              "the download folder " + none.string() + " does not exist");
    EXPECT_EQ(problem([&](ServiceOptions& o) { o.pagesFolder = none; }),
              "the pages folder " + none.string() + " does not exist");

    service.registerClient("f00dfeed");
    auto web = service.web(), download = service.download();
    getJson(web, action("getaccount", "f00dfeed"));
    ASSERT_TRUE(web.Get("/nowhere"));
    ASSERT_TRUE(download.Get("/missing.ini"));
    service.stop();
    // A line is written once its answer is out, and connections may end in any order.
    auto lines = service.logLines();
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(lines, (std::vector<std::string>{"download GET /missing.ini 404",
                                               "web GET /launcher_client/index.php?a=getaccount&token=*** 200",
                                               "web GET /launcher_client/index.php?token=*** 302",
                                               "web GET /nowhere 404"}));
    web.set_connection_timeout(1);
    download.set_connection_timeout(1);
    EXPECT_FALSE(web.Get("/patcher/"));
    EXPECT_FALSE(download.Get("/version.ini"));
}

}  // namespace
