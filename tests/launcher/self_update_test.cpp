#include "launcher/self_update.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "core/patch_progress.h"
#include "core/text.h"
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
};

// What the check makes of each answer of the download server. Only a launcher that the server
// names and that differs is offered, by the setup where it can update this launcher (Windows),
// else by a word on the page; a server that is down is no reason to ask anything.
TEST_F(SelfUpdate, OffersOnlyAKnownOtherLauncher) {
    const std::string unreachable =
        "The download server could not be reached: the launcher's version was not checked";
    struct Row {
        std::vector<HttpAnswer> answers;
        std::vector<std::string> log;  // the check's own lines, the fetch's left out
        bool offered;
    };
    const Row rows[] = {
        // The version file reader trims the blank.
        {{::answer(200, "[Launcher]\nv=0.0.2 \n")}, {"Launcher is up to date."}, false},
        {{::answer(404)}, {unreachable}, false},
        {{::answer(200, "[CurrentVersion]\nv=1.0\n")},
         {"The version file names no launcher: the launcher's version was not checked"}, false},
        {{::answer(200, "[Launcher]\nv=0.0.3\n")}, {"Launcher outdated - New Version: 0.0.3"}, true},
        {{::answer(200, "[Launcher]\nv=0.0.1\n")}, {"Launcher outdated - New Version: 0.0.1"}, true},
    };
    for (const Row& row : rows) {
        useUserFolder(dir);
        asked.clear();
        PatchProgress.notice.set(u"");
        server.script("/version.ini", row.answers);
        checkLauncherUpdate();

        auto log = logMessages();
        std::erase_if(log, [](const std::string& line) { return line.starts_with("HTTP Error"); });
        std::vector<std::string> expected = row.log;
        const std::string version = row.log.back().substr(row.log.back().size() - 5);
        if (row.offered && platform::setupUpdatesLauncher) {
            expected.push_back("User chose not to update.");
            ASSERT_EQ(asked.size(), 1u);
            EXPECT_EQ(asked[0].text, "A new version is available. Version: " + version +
                                         ".\nDo you want to update now?");
            EXPECT_EQ(asked[0].caption, "Update Available");
            EXPECT_EQ(asked[0].kind, platform::MessageKind::Question);
        } else if (row.offered) {
            expected.push_back("Launcher " + version + " is to be had from " + server.url());
            EXPECT_EQ(PatchProgress.notice.get(),
                      toWide("Launcher " + version + " is available from " + server.url() + "."));
        }
        if (!row.offered || !platform::setupUpdatesLauncher) {
            EXPECT_TRUE(asked.empty()) << row.log.back();
        }
        if (!row.offered) {
            EXPECT_EQ(PatchProgress.notice.get(), u"");
        }
        EXPECT_EQ(log, expected);
    }
    EXPECT_EQ(server.requests("/ORV-Setup.exe"), 0);
    PatchProgress.notice.set(u"");
}

// The setup's question itself, wherever it is offered.
TEST_F(SelfUpdate, YesDownloadsAndStartsTheSetupThenEnds) {
    server.script("/ORV-Setup.exe", {::answer(200, "MZ setup program")});
    writeFile("ORV-Setup.exe", "an older setup");
    answer = platform::MessageAnswer::Yes;
    EXPECT_EXIT(offerLauncherSetup("0.0.3"), testing::ExitedWithCode(0), "");
#ifdef _WIN32
    GTEST_SKIP() << "only the exit status is checked on Windows: the death test's child is a new "
                    "process with its own test folder and server, so its files are not seen here";
#endif
    EXPECT_EQ(readFile("ORV-Setup.exe"), "MZ setup program");
    const auto log = logMessages();
    ASSERT_GE(log.size(), 3u);
    EXPECT_EQ(log.front(), "User chose to update.");
    EXPECT_EQ(log.back(), "Started Setup");
}

}  // namespace
