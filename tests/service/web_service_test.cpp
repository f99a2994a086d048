// The local service as the launcher and its pages meet it.
#include "service/web_service.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <regex>
#include <set>

#include "service/account_signature.h"
#include "tests/service/running_service.h"

using nlohmann::json;

namespace {

std::string action(const std::string& name, const std::string& token = "cafe01") {
    return "/launcher_client/index.php?a=" + name + "&token=" + token;
}

json getJson(httplib::Client& client, const std::string& path) {
    const auto answer = client.Get(path);
    if (!answer) throw std::runtime_error("no answer for " + path);
    EXPECT_EQ(answer->status, 200) << path;
    // The launcher turns a quoted "false" into null and then rejects the whole answer.
    EXPECT_EQ(answer->body.find("\"false\""), std::string::npos) << path;
    return json::parse(answer->body);
}

TEST(WebService, FirstVisitSetsTheCookieThenServesThePagesWithAllTheyReference) {
    RunningService service;
    auto client = service.web();
    const auto landing = client.Get("/launcher_client/index.php?token=1a2b3c4d");
    ASSERT_TRUE(landing && landing->status == 302);
    EXPECT_EQ(landing->get_header_value("Location"), "/launcher_client/index.php");
    const std::string setCookie = landing->get_header_value("Set-Cookie");
    EXPECT_EQ(setCookie.rfind("orv_client=1a2b3c4d;", 0), 0u) << setCookie;
    const httplib::Headers cookie = {{"Cookie", setCookie.substr(0, setCookie.find(';'))}};
    const std::regex reference(R"((?:src|href)="(/[^"#?]*))");
    std::set<std::string> checked;
    for (const auto& [page, mark] : {std::pair{"/patcher/", "<p id=\"ut2\">"},
                                     {"/patcher/report.html", "data-command=\"loadMore\""},
                                     {"/launcher_client/index.php", "StartAstrovance"}}) {
        const auto answer = client.Get(page, cookie);
        ASSERT_TRUE(answer && answer->status == 200) << page;
        EXPECT_NE(answer->body.find(mark), std::string::npos) << page;
        for (std::sregex_iterator match(answer->body.begin(), answer->body.end(), reference), end;
             match != end; ++match)
            if (checked.insert((*match)[1]).second) {
                EXPECT_EQ(client.Get((*match)[1], cookie)->status, 200) << (*match)[1];
            }
    }
    EXPECT_GE(checked.size(), 7u);  // the stylesheet, the bridge, three scripts, the mark, a page
}

TEST(WebService, AnswersTheLaunchersRequestsAndKeepsWhatItSavesAcrossARestart) {
    RunningService service;
    auto client = service.web();
    ASSERT_EQ(client.Get("/launcher_client/index.php?token=cafe01")->status, 302);
    const json account = getJson(client, action("getaccount"));
    const std::string name = account.value("MPAccountName", "");
    const json store = json::parse(readFile(service.options.storeFile));
    EXPECT_EQ(account, json({{"MPAccountName", name},
                             {"MPAccountNameSig", signAccountName(store["secret"], name)}}));
    // The launcher saves this answer as the game's server list unread: never an error text.
    const std::string list = client.Get(action("getlanserver", "nobody"))->body;
    EXPECT_TRUE(list.starts_with("[Server0]\r\nName=ORV Server\r\nAddress=" +
                                 service.options.gameServerAddress + "\r\nPort="))
        << list;
    json expected = json::parse(R"({"windowmode": "true", "autoconnect": "off",
        "update_lanlist": "true", "use4gbvram": "off", "runinbackground": "off"})");
    EXPECT_EQ(getJson(client, action("getgamesettings")), expected);
    // The page identifies the launcher by its cookie alone.
    const auto saved =
        client.Post("/launcher_client/index.php?a=savesettings", {{"Cookie", "orv_client=cafe01"}},
                    R"({"autoconnect": true, "windowmode": "off"})", "application/json");
    expected.update({{"autoconnect", "true"}, {"windowmode", "off"}});
    EXPECT_EQ(json::parse(saved->body), expected);
    service.stop();
    service.start();
    auto again = service.web();
    EXPECT_EQ(getJson(again, action("getgamesettings")), expected);
    EXPECT_EQ(getJson(again, action("getaccount")), account);
}

// httplib's default SO_REUSEPORT would let a second service share the ports of a running one.
TEST(WebService, RefusesThePortsOfARunningService) {
    RunningService service;
    TempDir folder;
    const int ports[] = {service.service->downloadPort(), service.service->webPort()};
    for (const int port : ports) {
        ServiceOptions options = testOptions(folder);
        (port == ports[0] ? options.downloadPort : options.webPort) = port;
        EXPECT_NE(Service(options, nullptr).start().find(": the port is already in use"),
                  std::string::npos)
            << port;
    }
}

}  // namespace
