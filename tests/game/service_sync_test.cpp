// The account and the game settings that the web service holds for this client.
#include <gtest/gtest.h>

#include <filesystem>
#include <tuple>

#include "core/user_paths.h"
#include "game/account_sync.h"
#include "game/game_registry.h"
#include "game/settings_sync.h"
#include "tests/support/http_server.h"
#include "tests/support/temp_dir.h"

namespace {

const std::string before = "[CLIENT]\ntoken=c0ffee\n[Config]\nWindowMode=old ; a comment\n";

class ServiceSync : public testing::Test {
protected:
    void SetUp() override {
        useUserFolder(dir);
        clientToken.set("c0ffee");
        writeFile(clientSettingsPath.get(), before);
    }
    void account(const std::string& body) {
        server.script(target("getaccount"), {answer(200, body)});
        syncAccount(server.url());
    }
    std::string gameSettings(const std::string& body) {
        server.script(target("getgamesettings"), {answer(200, body)});
        syncGameSettings(server.url());
        return readTextFile(clientSettingsPath.get());
    }
    static std::string target(const std::string& action) {
        return "/launcher_client/index.php?a=" + action + "&token=c0ffee";
    }

    TempDir dir;
    HttpServer server;
};

using Rejected = std::tuple<const char*, std::string, std::string>;  // what, answer, last log line

TEST_F(ServiceSync, AccountGoesToSettingsAndGameKey) {
    // A later account replaces the earlier one in both places.
    const std::pair<std::string, std::string> accounts[] = {{"Pilot Ärger", "9f8e"}, {"B", "ab"}};
    for (const auto& [name, sig] : accounts) {
        account(R"({"error":"","extra":"false","MPAccountName":")" + name +
                R"(","MPAccountNameSig":")" + sig + R"("})");
        const std::string values = "MPAccountName=" + name + "\nMPAccountNameSig=" + sig + "\n";
        EXPECT_EQ(readTextFile(clientSettingsPath.get()), before + "[MPID]\n" + values);
#ifndef _WIN32
        EXPECT_EQ(readFile(gameRegistryStorePath()),
                  "[Software\\Microsoft\\Microsoft Games\\Astrovance\\1.0]\n" + values);
#endif
        EXPECT_EQ(server.requests(target("getaccount")), 1);
    }
    for (const auto& message : logMessages()) EXPECT_NE(message.rfind("Error", 0), 0u) << message;
}

TEST_F(ServiceSync, RejectedAccountIsStoredNowhere) {
    const std::string invalid = "Error: Invalid account data received.";
    const std::vector<Rejected> cases = {
        {"no answer", "",
         "The account server is not reachable or no data could be read. Please contact an "
         "administrator."},
        {"empty signature", R"({"MPAccountName":"P","MPAccountNameSig":""})", invalid},
        {"absent name", R"({"MPAccountNameSig":"9f"})", invalid},
        {"name sent as false", R"({"MPAccountName":"false","MPAccountNameSig":"9f"})", invalid},
        // Escaped, the false survives the raw-text replacement and arrives as text.
        {"escaped false name", R"({"MPAccountName":"f\u0061lse","MPAccountNameSig":"9f"})",
         invalid},
        {"escaped false sig", R"({"MPAccountName":"P","MPAccountNameSig":"fals\u0065"})", invalid},
        {"own error", R"({"error":"Locked","MPAccountName":"P","MPAccountNameSig":"9f"})",
         "Error: Locked"},
        {"own error, invalid account", R"({"error":"Locked","MPAccountName":"P"})", invalid},
        {"not JSON", "Fatal error: database down", invalid},
        {"top level an array", R"([{"MPAccountName":"P","MPAccountNameSig":"9f"}])", invalid},
        {"signature as a number", R"({"MPAccountName":"P","MPAccountNameSig":12345})", invalid},
        {"line break", R"({"MPAccountName":"P\r\n[CLIENT]","MPAccountNameSig":"9f"})", invalid},
    };
    for (const auto& [what, body, logged] : cases) {
        SCOPED_TRACE(what);
        account(body);
        EXPECT_EQ(readTextFile(clientSettingsPath.get()), before);
        EXPECT_FALSE(std::filesystem::exists(gameRegistryStorePath()));
        EXPECT_EQ(logMessages().back(), logged);
    }
}

#ifndef _WIN32
// Without a registry the values live in a file, whose failures are reported.
TEST_F(ServiceSync, GameKeyStoreThatCannotBeWrittenIsReported) {
    std::filesystem::create_directories(gameRegistryStorePath());  // a folder where the file goes
    EXPECT_FALSE(setGameRegistryValue("MPAccountName", "Pilot"));
}
#endif

TEST_F(ServiceSync, SettingsWrittenInOrderUnderTheirKeys) {
    EXPECT_EQ(
        gameSettings(R"({"windowmode":"true","autoconnect":"a","update_lanlist":"u",)"
                     R"("use4gbvram":"v","runinbackground":"r","error":"","other":{"x":[1]}})"),
        "[CLIENT]\ntoken=c0ffee\n[Config]\nWindowMode=true\nAutoConnect=a\nUpdateLanList=u\n"
        "Use4GBVRAM=v\nRuninBackground=r\n");
    EXPECT_EQ(server.requests(target("getgamesettings")), 1);

    // A quoted false elsewhere is harmless; an escaped one is untouched and arrives as text.
    EXPECT_EQ(
        gameSettings(R"({"ignored":"false","windowmode":"f\u0061lse","autoconnect":"no",)"
                     R"("update_lanlist":"0","use4gbvram":"true","runinbackground":"TRUE",)"
                     R"("list":["false","false"]})"),
        "[CLIENT]\ntoken=c0ffee\n[Config]\nWindowMode=false\nAutoConnect=no\nUpdateLanList=0\n"
        "Use4GBVRAM=true\nRuninBackground=TRUE\n");
}

TEST_F(ServiceSync, RejectedSettingsWriteNothing) {
    const std::string invalid = "Error updating game settings: Invalid game settings received.";
    const std::string five =
        R"("windowmode":"true","autoconnect":"true","update_lanlist":"true","use4gbvram":"true",)"
        R"("runinbackground":"true")";
    const std::vector<Rejected> cases = {
        {"no answer", "",
         "Error: Unable to retrieve game settings. Server unreachable or data unreadable."},
        {"one setting empty", "{" + five + R"(,"autoconnect":""})", invalid},
        {"one setting absent",
         R"({"windowmode":"true","autoconnect":"true","update_lanlist":"true","use4gbvram":"true"})",
         invalid},
        {"own error", "{\"error\":\"No settings for this client\"," + five + "}",
         "Error updating game settings: No settings for this client"},
        {"a setting sent as false", "{" + five + R"(,"windowmode":"false"})", invalid},
        {"error sent as false", "{\"error\":\"false\"," + five + "}", invalid},
        {"not JSON", "<html>Service unavailable</html>", invalid},
        {"JSON with a comment", "{" + five + "/* no */}", invalid},
        {"top level an array", "[{" + five + "}]", invalid},
        {"a setting as a boolean", "{" + five + R"(,"autoconnect":true})", invalid},
        {"line break that would add lines to the file",
         "{" + five + R"(,"use4gbvram":"true\n[CLIENT]\nVersion=9"})", invalid},
    };
    for (const auto& [what, body, logged] : cases) {
        SCOPED_TRACE(what);
        EXPECT_EQ(gameSettings(body), before);
        EXPECT_EQ(logMessages().back(), logged);
    }
}

}  // namespace
