#include "launcher/progress_pump.h"

#include <gtest/gtest.h>

#include <thread>

#include "core/ini_document.h"
#include "core/patch_progress.h"
#include "core/text.h"
#include "core/user_paths.h"
#include "net/endpoints.h"
#include "patch/patch_thread.h"
#include "tests/support/fake_browser.h"
#include "tests/support/http_server.h"
#include "tests/support/temp_dir.h"
#include "web/browser_host.h"
#include "web/page_messages.h"

namespace {

class ProgressTick : public testing::Test {
protected:
    TempDir dir;
    HttpServer server;
    FakeBrowser browser;

    void SetUp() override {
        useUserFolder(dir);
        clientToken.set("1a2b");
        overrideEndpoints(server.url(), server.url());
        clientPageDelay = std::chrono::milliseconds(0);
        PatchProgress.phase = Idle;
        PatchProgress.step = 0;
        PatchProgress.stepCount = 0;
        PatchProgress.overallProgress = 0;
        PatchProgress.fileProgress = 0;
        PatchProgress.fileName.set(u"");
        currentUrl = patcherPageUrl();
    }
    std::u16string text(const char16_t* id, const std::u16string& value) {
        return u"{\"action\": \"updateText\", \"elementId\": \"" + std::u16string(id) +
               u"\", \"newText\": \"" + value + u"\"}";
    }
    void fillProgress(std::int32_t phase) {
        PatchProgress.fileProgress = 100;
        PatchProgress.overallProgress = 100;
        PatchProgress.phase = phase;
    }
    std::u16string clientPage() { return toWide(server.url("/launcher_client/index.php?token=1a2b")); }
};

TEST_F(ProgressTick, SendsTheStatusTextsOfEachPhaseAndProgressOnlyOnThePatcherPage) {
    struct Case {
        std::int32_t phase;
        const char16_t *ut1, *ut2;  // nothing: no texts
        RunOutcome outcome = Applied;
        const char16_t* notice = u"";  // shown only behind the texts of a finished run
    };
    const Case cases[] = {
        {Idle, u"", u""},
        {Scanning, u"STEP 2/5 - Scanning >ORV< Installation...",
         u"Please be patient while the installation is being checked.", Applied, u"Newer."},
        {Downloading, u"STEP 2/5 - Downloading >ORV< VersionFile...",
         u"Please be patient while downloading the VersionFile."},
        {Patching, u"STEP 2/5 - Patching >ORV< Installation...",
         u"Please be patient while installation is being patched."},
        {Complete, u"STEP 2/5 - Update Complete", u" Verify Installation..."},
        {Complete, u"STEP 2/5 - Update Complete", u" Verify Installation... Newer.", Applied,
         u"Newer."},
        {Complete, u"STEP 2/5 - Update Incomplete",
         u"The update could not be completed; it will be tried again at the next start.",
         Incomplete},
        {Complete, u"STEP 2/5 - Download Server Unreachable",
         u"The >ORV< installation was not checked.", Unchecked},
        {9, nullptr, nullptr},
    };
    PatchProgress.step = 2;
    PatchProgress.stepCount = 5;
    PatchProgress.overallProgress = 40;
    PatchProgress.fileProgress = 7;
    PatchProgress.fileName.set(u"Data/a.pak (7 KB / 100 KB)");
    for (const bool onPatcherPage : {true, false}) {
        currentUrl = onPatcherPage ? patcherPageUrl() : clientPageUrl();
        for (const auto& c : cases) {
            browser.view.posted.clear();
            PatchProgress.phase = c.phase;
            PatchProgress.outcome = c.outcome;
            PatchProgress.notice.set(c.notice);
            progressTick();
            std::vector<std::u16string> expected;
            if (c.ut1) expected = {text(u"ut1", c.ut1), text(u"ut2", c.ut2)};
            if (onPatcherPage)
                expected.push_back(
                    u"{\"action\": \"updateProgress\", \"overallProgress\": 40, \"fileProgress\": 7, "
                    u"\"fileName\": \"Data/a.pak (7 KB / 100 KB)\"}");
            EXPECT_EQ(browser.view.posted, expected)
                << "phase " << c.phase << (onPatcherPage ? " on the patcher page" : " elsewhere");
        }
    }
    EXPECT_TRUE(browser.view.navigations.empty());
    PatchProgress.outcome = Applied;
    PatchProgress.notice.set(u"");
}

// The pause before the client page must not freeze the window: ticks go on sending texts and
// progress, and neither fetch nor navigate again until the page is due. The reset that follows
// keeps later ticks from repeating it.
TEST_F(ProgressTick, CompleteRunWithMatchingVersionsShowsTheClientPageAfterThePauseAndResets) {
    server.script("/version.ini", {answer(200, "[CurrentVersion]\nv=1.4\n")});
    IniDocument::setValue(clientSettingsPath.get(), "CLIENT", "Version", "1.4");
    clientPageDelay = std::chrono::milliseconds(1000);
    fillProgress(Complete);

    progressTick();
    EXPECT_EQ(browser.view.navigations, std::vector<std::u16string>{clientPage()});
    browser.view.posted.clear();
    progressTick();
    EXPECT_EQ(browser.view.posted.size(), 3u) << "texts and progress go on during the pause";
    EXPECT_EQ(browser.view.navigations.size(), 1u);
    EXPECT_EQ(PatchProgress.overallProgress, 100);

    std::this_thread::sleep_for(std::chrono::milliseconds(1050));
    progressTick();
    EXPECT_EQ(browser.view.navigations, (std::vector<std::u16string>{clientPage(), clientPage()}));
    EXPECT_EQ(PatchProgress.fileProgress, 0);
    EXPECT_EQ(PatchProgress.overallProgress, 0);

    progressTick();
    EXPECT_EQ(browser.view.navigations.size(), 2u);
    EXPECT_EQ(server.requests("/version.ini"), 1);

    // A repair during the pause cancels the switch: the client page waits for the repair's run.
    const WorkingFolder inInstallation(dir.path());
    fillProgress(Complete);
    browser.view.navigations.clear();
    progressTick();
    onWebMessage(nullptr, u"RepairAstrovance");
    std::this_thread::sleep_for(std::chrono::milliseconds(1050));
    progressTick();
    fillProgress(Complete);  // the repair's run has been claimed meanwhile and ended
    ++patchRunsClaimed;
    progressTick();
    EXPECT_EQ(browser.view.navigations,
              (std::vector<std::u16string>{clientPage(), patcherPageUrl(), clientPage()}))
        << "the first client page, the repair's patcher page, then the repair's own end";
}

// A run that could not finish or check anything goes to the client page at once: there is no
// version to compare, and asking the server again on every tick would only freeze the window.
TEST_F(ProgressTick, IncompleteOrUncheckedRunShowsTheClientPageWithoutAskingTheServer) {
    for (const RunOutcome outcome : {Incomplete, Unchecked}) {
        browser.view.navigations.clear();
        currentUrl = patcherPageUrl();
        fillProgress(Complete);
        PatchProgress.outcome = outcome;
        progressTick();
        EXPECT_EQ(browser.view.navigations, std::vector<std::u16string>{clientPage()});
    }
    EXPECT_EQ(server.requests("/version.ini"), 0);
    PatchProgress.outcome = Applied;
}

// Without matching versions the version is asked on every tick; before the last step a complete
// run shows the client page without asking.
TEST_F(ProgressTick, FullProgressWithoutMatchingVersionsOrStepsLeftDoesNotReset) {
    server.script("/version.ini", {answer(500)});
    IniDocument::setValue(clientSettingsPath.get(), "CLIENT", "Version", "1.4");
    fillProgress(Patching);
    progressTick();
    progressTick();
    EXPECT_TRUE(browser.view.navigations.empty());
    EXPECT_EQ(server.requests("/version.ini"), 6) << "three attempts per tick";
    EXPECT_EQ(PatchProgress.overallProgress, 100);

    PatchProgress.step = 1;
    PatchProgress.stepCount = 2;
    PatchProgress.phase = Complete;
    progressTick();
    EXPECT_EQ(browser.view.navigations, std::vector<std::u16string>{clientPage()});
    EXPECT_EQ(server.requests("/version.ini"), 6);
    EXPECT_EQ(PatchProgress.overallProgress, 100);
}

}  // namespace
