#include "game/account_sync.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "core/ini_document.h"
#include "core/user_paths.h"
#include "game/game_registry.h"
#include "tests/support/http_server.h"
#include "tests/support/temp_dir.h"

namespace {

const std::string accountTarget = "/launcher_client/index.php?a=getaccount&token=c0ffee";
const std::string before = "[CLIENT]\ntoken=c0ffee\n";
const std::string invalidLine = "Error: Invalid account data received.";

class AccountSync : public testing::Test {
protected:
    void SetUp() override {
        useUserFolder(dir);
        clientToken.set("c0ffee");
        writeFile(clientSettingsPath.get(), before);
    }
    void sync(const std::string& body) {
        server.script(accountTarget, {answer(200, body)});
        syncAccount(server.url());
    }
    bool storeExists() const { return std::filesystem::exists(gameRegistryStorePath()); }

    TempDir dir;
    HttpServer server;
};

TEST_F(AccountSync, ValidAccountGoesToSettingsAndGameKey) {
    sync(
        R"({"MPAccountName":"Pilot Ärger","MPAccountNameSig":"9f8e7d","error":"","extra":"false"})");
    EXPECT_EQ(readTextFile(clientSettingsPath.get()),
              before + "[MPID]\nMPAccountName=Pilot Ärger\nMPAccountNameSig=9f8e7d\n");
#ifndef _WIN32
    EXPECT_EQ(gameRegistryStorePath(), userFolder.get() + "GameRegistry.ini");
    EXPECT_EQ(readFile(gameRegistryStorePath()),
              "[Software\\Microsoft\\Microsoft Games\\Astrovance\\1.0]\n"
              "MPAccountName=Pilot Ärger\nMPAccountNameSig=9f8e7d\n");
#endif
    EXPECT_EQ(server.requests(accountTarget), 1);
    for (const auto& message : logMessages())
        EXPECT_EQ(message.rfind("Error", 0), std::string::npos) << message;

    // A later account replaces the earlier one in both places.
    sync(R"({"MPAccountName":"Second","MPAccountNameSig":"abc"})");
    EXPECT_EQ(IniDocument::getValue(clientSettingsPath.get(), "MPID", "MPAccountName"), "Second");
#ifndef _WIN32
    EXPECT_EQ(IniDocument::getValue(gameRegistryStorePath(), gameRegistryKey, "MPAccountName"),
              "Second");
    EXPECT_EQ(IniDocument::getValue(gameRegistryStorePath(), gameRegistryKey, "MPAccountNameSig"),
              "abc");
#endif
}

struct RejectedAnswer {
    const char* what;
    std::string body;
    std::string logged;
};

TEST_F(AccountSync, RejectedAnswersWriteNeitherSettingsNorGameKey) {
    const std::vector<RejectedAnswer> cases = {
        {"empty signature", R"({"MPAccountName":"Pilot","MPAccountNameSig":""})", invalidLine},
        {"absent name", R"({"MPAccountNameSig":"9f8e7d"})", invalidLine},
        {"name sent as false", R"({"MPAccountName":"false","MPAccountNameSig":"9f8e7d"})",
         invalidLine},
        {"escaped false name", R"({"MPAccountName":"f\u0061lse","MPAccountNameSig":"9f8e7d"})",
         invalidLine},
        {"escaped false signature", R"({"MPAccountName":"Pilot","MPAccountNameSig":"fals\u0065"})",
         invalidLine},
        {"the service's own error",
         R"({"error":"Account locked","MPAccountName":"Pilot","MPAccountNameSig":"9f"})",
         "Error: Account locked"},
        {"own error with an invalid account",
         R"({"error":"Account locked","MPAccountName":"Pilot"})", invalidLine},
        {"not JSON", "Fatal error: database down", invalidLine},
        {"top level an array", R"([{"MPAccountName":"Pilot","MPAccountNameSig":"9f"}])",
         invalidLine},
        {"signature as a number", R"({"MPAccountName":"Pilot","MPAccountNameSig":12345})",
         invalidLine},
        {"a line break in the name",
         R"({"MPAccountName":"Pilot\r\n[CLIENT]","MPAccountNameSig":"9f"})", invalidLine},
    };
    for (const auto& rejected : cases) {
        SCOPED_TRACE(rejected.what);
        sync(rejected.body);
        EXPECT_EQ(readTextFile(clientSettingsPath.get()), before);
        EXPECT_FALSE(storeExists());
        EXPECT_EQ(logMessages().back(), rejected.logged);
    }
}

TEST_F(AccountSync, NoAnswerLogsTheUnreachableLine) {
    sync("");
    EXPECT_EQ(readTextFile(clientSettingsPath.get()), before);
    EXPECT_FALSE(storeExists());
    EXPECT_EQ(logMessages().back(),
              "The account server is not reachable or no data could be read. Please contact an "
              "administrator.");
}

// Without a registry the values live in a file, whose failures are reported.
#ifndef _WIN32
TEST(GameRegistry, ReportsAStoreThatCannotBeWritten) {
    TempDir dir;
    useUserFolder(dir);
    std::filesystem::create_directories(
        gameRegistryStorePath());  // a folder where the file belongs
    EXPECT_FALSE(setGameRegistryValue("MPAccountName", "Pilot"));
}
#endif

}  // namespace
