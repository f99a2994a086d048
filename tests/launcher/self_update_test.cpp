#include "launcher/self_update.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "net/endpoints.h"
#include "platform/platform.h"
#include "tests/support/http_server.h"
#include "tests/support/temp_dir.h"

namespace {

namespace fs = std::filesystem;

struct Asked {
    std::string text, caption;
    platform::MessageKind kind;
};
std::vector<Asked> asked;
platform::MessageAnswer answer = platform::MessageAnswer::No;

platform::MessageAnswer answerer(const std::string& text, const std::string& caption,
                                 platform::MessageKind kind) {
    asked.push_back({text, caption, kind});
    return answer;
}

class SelfUpdate : public testing::Test {
protected:
    TempDir dir;
    HttpServer server;
    fs::path cwd = fs::current_path();

    void SetUp() override {
        useUserFolder(dir);
        fs::create_directories(dir.path() / "install");
        fs::current_path(dir.path() / "install");
        overrideEndpoints(server.url(), server.url());
        asked.clear();
        answer = platform::MessageAnswer::No;
        previousAnswerer = platform::messageBoxAnswerer;
        platform::messageBoxAnswerer = answerer;
    }
    platform::MessageBoxAnswerer previousAnswerer = nullptr;
    void TearDown() override {
        platform::messageBoxAnswerer = previousAnswerer;
        fs::current_path(cwd);
    }
    void serverLauncher(const std::string& version) {
        server.script("/version.ini", {::answer(200, "[CurrentVersion]\nv=1.0\n[Launcher]\nv=" + version + "\n")});
    }
};

// The server's own version, once the version file reader trimmed its blank, goes on quietly.
TEST_F(SelfUpdate, AnyOtherVersionAsksAndNoGoesOn) {
    for (const char* version : {"0.0.3", "0.0.1", "0.0.2 "}) {
        serverLauncher(version);
        checkLauncherUpdate();
    }
    ASSERT_EQ(asked.size(), 2u);
    EXPECT_EQ(asked[0].text, "A new version is available. Version: 0.0.3.\nDo you want to update now?");
    EXPECT_EQ(asked[0].caption, "Update Available");
    EXPECT_EQ(asked[0].kind, platform::MessageKind::Question);
    EXPECT_EQ(logMessages(), (std::vector<std::string>{
                                 "Launcher outdated - New Version: 0.0.3", "User chose not to update.",
                                 "Launcher outdated - New Version: 0.0.1", "User chose not to update.",
                                 "Launcher is up to date."}));

    server.script("/version.ini", {::answer(404)});
    checkLauncherUpdate();
    ASSERT_EQ(asked.size(), 3u);
    EXPECT_EQ(asked[2].text, "A new version is available. Version: .\nDo you want to update now?")
        << "a missing version file offers the empty version";
    EXPECT_EQ(server.requests("/ORV-Setup.exe"), 0);
}

TEST_F(SelfUpdate, YesDownloadsAndStartsTheSetupThenEnds) {
    serverLauncher("0.0.3");
    server.script("/ORV-Setup.exe", {::answer(200, "MZ setup program")});
    writeFile("ORV-Setup.exe", "an older setup");
    answer = platform::MessageAnswer::Yes;
    EXPECT_EXIT(checkLauncherUpdate(), testing::ExitedWithCode(0), "");
#ifdef _WIN32
    GTEST_SKIP() << "only the exit status is checked on Windows: the death test's child is a new "
                    "process with its own test folder and server, so its files are not seen here";
#endif
    EXPECT_EQ(readFile("ORV-Setup.exe"), "MZ setup program");
    const auto log = logMessages();
    ASSERT_GE(log.size(), 4u);
    EXPECT_EQ(log[1], "User chose to update.");
    EXPECT_EQ(log.back(), "Started Setup");
}

}  // namespace
