#include "web/page_messages.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "core/ini_document.h"
#include "core/patch_progress.h"
#include "core/user_paths.h"
#include "tests/support/fake_browser.h"
#include "tests/support/temp_dir.h"
#include "web/browser_host.h"

namespace {

namespace fs = std::filesystem;

// A file name from a manifest must not break the page's JSON or smuggle in members.
TEST(PageMessages, ProgressAndTextHaveTheExactShapeWithValuesEscaped) {
    FakeBrowser browser;
    postProgress(42, -3, u"Data\\a.pak (12 KB / 40 KB)");
    postText(u"ut1", u"STEP 1/2 - Scanning >ORV< Installation...");
    postProgress(0, 0, u"a\"b\\c\n\t\x01\", \"action\": \"x");
    EXPECT_EQ(browser.view.posted,
              (std::vector<std::u16string>{
                  u"{\"action\": \"updateProgress\", \"overallProgress\": 42, \"fileProgress\": -3, "
                  u"\"fileName\": \"Data\\\\a.pak (12 KB / 40 KB)\"}",
                  u"{\"action\": \"updateText\", \"elementId\": \"ut1\", "
                  u"\"newText\": \"STEP 1/2 - Scanning >ORV< Installation...\"}",
                  u"{\"action\": \"updateProgress\", \"overallProgress\": 0, \"fileProgress\": 0, "
                  u"\"fileName\": \"a\\\"b\\\\c\\n\\t\\u0001\\\", \\\"action\\\": \\\"x\"}"}));
}

class Commands : public testing::Test {
protected:
    TempDir dir;
    FakeBrowser browser;
    fs::path cwd = fs::current_path();

    void SetUp() override {
        useUserFolder(dir);
        fs::create_directories(dir.path() / "install");
        fs::current_path(dir.path() / "install");
        reportPage = 0;
    }
    void TearDown() override { fs::current_path(cwd); }
};

TEST_F(Commands, AreMatchedExactlyAndOthersIgnored) {
    for (const char16_t* word : {u"Close", u"close ", u" loadMore", u"LOADMORE", u"", u"repairastrovance"})
        onWebMessage(&browser.window, word);
    EXPECT_EQ(browser.view.reloads, 0);
    EXPECT_TRUE(browser.view.navigations.empty());
    EXPECT_EQ(browser.window.destroyed, 0);
    EXPECT_TRUE(logMessages().empty());

    onWebMessageReceived(std::nullopt);  // a message that is no string
    onWebMessage(&browser.window, u"loadMore");
    onWebMessageReceived(u"loadMore");
    EXPECT_EQ(reportPage, 2);
    EXPECT_EQ(browser.view.reloads, 2);
}

// The game data stays; a second repair, with no game folder left, is no error either.
TEST_F(Commands, RepairResetsVersionProgressAndGameFolderThenShowsThePatcherPage) {
    writeFile("Astrovance/EXE/Astrovance.exe", "game");
    writeFile("Astrovance/EXE/sub/x.dll", "dll");
    writeFile("Astrovance/Data/keep.pak", "data");
    IniDocument::setValue(clientSettingsPath.get(), "CLIENT", "Version", "1.4");
    PatchProgress.fileProgress = 100;
    PatchProgress.overallProgress = 100;
    PatchProgress.phase = Complete;

    onWebMessage(&browser.window, u"RepairAstrovance");

    EXPECT_EQ(IniDocument::getValue(clientSettingsPath.get(), "CLIENT", "Version"), "0.0.0");
    EXPECT_FALSE(fs::exists("Astrovance/EXE"));
    EXPECT_TRUE(fs::exists("Astrovance/Data/keep.pak"));
    EXPECT_EQ(PatchProgress.fileProgress, 0);
    EXPECT_EQ(PatchProgress.overallProgress, 0);
    EXPECT_EQ(PatchProgress.phase, Idle);
    EXPECT_EQ(browser.view.navigations, std::vector<std::u16string>{patcherPageUrl()});

    fs::remove_all("Astrovance");
    onWebMessage(&browser.window, u"RepairAstrovance");
    EXPECT_EQ(logMessages(), (std::vector<std::string>{"Repair Astrovance", "Repair Astrovance"}));
    EXPECT_EQ(browser.view.navigations.size(), 2u);
}

TEST_F(Commands, CloseDestroysTheWindowAndEndsWithStatusZero) {
    EXPECT_EXIT(
        {
            onWebMessage(&browser.window, u"close");
            std::abort();  // never reached: close ends the process
        },
        testing::ExitedWithCode(0), "");
#ifdef _WIN32
    GTEST_SKIP() << "only the exit status is checked on Windows: the death test's child is a new "
                    "process that logs into a test folder of its own";
#endif
    // The child logged before it ended.
    EXPECT_EQ(logMessages(), std::vector<std::string>{"Launcher exit"});
}

}  // namespace
