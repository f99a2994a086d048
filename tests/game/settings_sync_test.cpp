#include "game/settings_sync.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "core/user_paths.h"
#include "tests/support/http_server.h"
#include "tests/support/temp_dir.h"

namespace {

using testing::Contains;

const std::string settingsTarget = "/launcher_client/index.php?a=getgamesettings&token=c0ffee";
const std::string before =
    "[CLIENT]\ntoken=c0ffee\n[Config]\nWindowMode=old ; kept until a good answer\n";
const std::string invalidLine = "Error updating game settings: Invalid game settings received.";

class SettingsSync : public testing::Test {
protected:
    void SetUp() override {
        useUserFolder(dir);
        clientToken.set("c0ffee");
        writeFile(clientSettingsPath.get(), before);
    }
    std::string sync(const std::string& body) {
        server.script(settingsTarget, {answer(200, body)});
        syncGameSettings(server.url());
        return readTextFile(clientSettingsPath.get());
    }

    TempDir dir;
    HttpServer server;
};

TEST_F(SettingsSync, WritesAllFiveInOrderUnderTheirKeys) {
    const std::string written =
        sync(R"({"windowmode":"true","autoconnect":"a","update_lanlist":"u","use4gbvram":"v",)"
             R"("runinbackground":"r","error":"","other":{"x":[1,2]}})");
    EXPECT_EQ(written,
              "[CLIENT]\ntoken=c0ffee\n[Config]\nWindowMode=true\nAutoConnect=a\nUpdateLanList=u\n"
              "Use4GBVRAM=v\nRuninBackground=r\n");
    EXPECT_EQ(server.requests(settingsTarget), 1);
}

// The quoted false is replaced in the raw text: elsewhere it is harmless, an escaped one is not
// touched and arrives as the text false.
TEST_F(SettingsSync, QuotedFalseBecomesNullOnlyInTheRawText) {
    const std::string written = sync(
        R"({"ignored":"false","windowmode":"f\u0061lse","autoconnect":"no","update_lanlist":"0",)"
        R"("use4gbvram":"true","runinbackground":"TRUE","list":["false","false"]})");
    EXPECT_EQ(
        written,
        "[CLIENT]\ntoken=c0ffee\n[Config]\nWindowMode=false\nAutoConnect=no\nUpdateLanList=0\n"
        "Use4GBVRAM=true\nRuninBackground=TRUE\n");
}

struct RejectedAnswer {
    const char* what;
    std::string body;
    std::string logged;
};

TEST_F(SettingsSync, RejectedAnswersWriteNothing) {
    const std::string five =
        R"("windowmode":"true","autoconnect":"true","update_lanlist":"true","use4gbvram":"true",)"
        R"("runinbackground":"true")";
    const std::vector<RejectedAnswer> cases = {
        {"one setting empty",
         R"({"windowmode":"true","autoconnect":"","update_lanlist":"true","use4gbvram":"true","runinbackground":"true"})",
         invalidLine},
        {"one setting absent",
         R"({"windowmode":"true","autoconnect":"true","update_lanlist":"true","use4gbvram":"true"})",
         invalidLine},
        {"the service's own error", "{\"error\":\"No settings for this client\"," + five + "}",
         "Error updating game settings: No settings for this client"},
        {"a setting sent as false", "{" + five + R"(,"windowmode":"false"})", invalidLine},
        {"error sent as false", "{\"error\":\"false\"," + five + "}", invalidLine},
        {"not JSON", "<html>Service unavailable</html>", invalidLine},
        {"JSON with a comment", "{" + five + "/* no */}", invalidLine},
        {"top level an array", "[{" + five + "}]", invalidLine},
        {"a setting as a boolean", "{" + five + R"(,"autoconnect":true})", invalidLine},
        {"error as a number", "{\"error\":5," + five + "}", invalidLine},
        {"a line break that would add lines to the file",
         "{" + five + R"(,"use4gbvram":"true\n[CLIENT]\nVersion=9"})", invalidLine},
    };
    for (const auto& rejected : cases) {
        SCOPED_TRACE(rejected.what);
        EXPECT_EQ(sync(rejected.body), before);
        EXPECT_EQ(logMessages().back(), rejected.logged);
    }
}

TEST_F(SettingsSync, NoAnswerLogsTheUnreachableLine) {
    const std::string unreachable =
        "Error: Unable to retrieve game settings. Server unreachable or data unreadable.";
    EXPECT_EQ(sync(""), before);
    EXPECT_EQ(logMessages().back(), unreachable);

    std::string down;
    {
        HttpServer stopped;
        down = stopped.url();
    }
    syncGameSettings(down);
    EXPECT_EQ(readTextFile(clientSettingsPath.get()), before);
    EXPECT_EQ(logMessages().back(), unreachable);
}

}  // namespace
