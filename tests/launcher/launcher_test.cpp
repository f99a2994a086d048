// Start-up, the window's timer tick and the launcher's own update.
#include <gtest/gtest.h>

#include <algorithm>
#include <clocale>
#include <cstdlib>
#include <thread>

#include "core/ini_document.h"
#include "core/log.h"
#include "core/patch_progress.h"
#include "core/text.h"
#include "core/user_paths.h"
#include "integrity/signature.h"
#include "launcher/progress_pump.h"
#include "launcher/self_update.h"
#include "launcher/startup.h"
#include "launcher/version.h"
#include "launcher/window_layout.h"
#include "net/endpoints.h"
#include "patch/patch_thread.h"
#include "patch/update_signatures.h"
#include "platform/platform.h"
#include "tests/support/fake_browser.h"
#include "tests/support/http_server.h"
#include "tests/support/temp_dir.h"
#include "web/browser_host.h"
#include "web/page_messages.h"

#ifndef _WIN32
#include <glib.h>

#include "platform/posix/gtk_thread.h"
#endif

namespace {

TEST(CommandLine, OnlyTheExactWordSelectsHashing) {
    EXPECT_TRUE(hasHashFlag(splitCommandWords(" first\t-h\n")));
    for (const char* line : {"", "-H", "--h", "-hh", "x-h", "\"-h\""})
        EXPECT_FALSE(hasHashFlag(splitCommandWords(line))) << line;
}

// Smaller than the design: negative edges, truncated toward zero.
TEST(WindowLayout, CentresTheDesignSizeAndLeavesTheBrowserATwoPixelRim) {
    const auto edges = [](WindowRect r) { return std::tuple(r.left, r.top, r.right, r.bottom); };
    EXPECT_EQ(edges(launcherWindowRect(897, 400)), std::tuple(-1, -50, 903, 454));
    EXPECT_EQ(edges(browserBounds(904, 504)), std::tuple(2, 2, 902, 502));
}

// The user folder, the installation as working folder, its servers, the browser; boxes get `given`.
std::vector<std::string> asked;
platform::MessageAnswer given = platform::MessageAnswer::No;

class Launcher : public testing::Test {
protected:
    TempDir dir;
    const WorkingFolder inInstallation{dir.path()};
    HttpServer server;
    FakeBrowser browser;
    const platform::MessageBoxAnswerer previous = platform::messageBoxAnswerer;
    const std::u16string clientPage = toWide(server.url("/launcher_client/index.php?token=1a2b"));

    void SetUp() override {
        useUserFolder(dir);
        clientToken.set("1a2b");
        overrideEndpoints(server.url(), server.url());
        clientPageDelay = std::chrono::milliseconds(0);
        versionRecheckPause = std::chrono::milliseconds(0);
        currentUrl = patcherPageUrl();
        IniDocument::setValue(clientSettingsPath.get(), "CLIENT", "Version", "1.4");
        platform::messageBoxAnswerer = [](const std::string& text, const std::string&,
                                          platform::MessageKind) {
            asked.push_back(text);
            return given;
        };
    }
    void TearDown() override {
        server.release();
        waitForVersionCheck();
        setProgress(Idle, 0, 0, 0);
        platform::messageBoxAnswerer = previous;
    }
    void setProgress(std::int32_t phase, int percent, int step, int steps,
                     RunOutcome end = Applied) {
        PatchProgress.phase = phase;
        PatchProgress.overallProgress = PatchProgress.fileProgress = percent;
        PatchProgress.step = step;
        PatchProgress.stepCount = steps;
        PatchProgress.outcome = end;
        PatchProgress.notice.set(u"");
    }
};

#ifndef _WIN32
// Without any documents folder the launcher ends at once and writes nothing. Regression: the home
// folder's name is bytes, and a UTF-8 name ("José" under LC_ALL=C) must stay UTF-8; a name that is
// not UTF-8 is used as it is.
TEST_F(Launcher, UserFilesGoUnderTheHomeFolderByteForByteInAnyLocale) {
    const std::pair<const char*, const char*> rows[] = {
        {nullptr, "C.UTF-8"}, {"Jos\xC3\xA9", "C"}, {"Jos\xE9", "C.UTF-8"}};  // HOME, locale
    server.script("/version.ini", {answer(200, "[Launcher]\nv=" + LauncherVersion + "\n")});
    const std::string savedHome = std::getenv("HOME") ? std::getenv("HOME") : "";
    unsetenv("XDG_DOCUMENTS_DIR");
    unsetenv("XDG_CONFIG_HOME");
    for (const auto& [name, locale] : rows) {
        const TempDir home;
        if (name) std::filesystem::create_directory(home.file(name));
        name ? setenv("HOME", home.file(name).c_str(), 1) : unsetenv("HOME");
        logPath.set("");  // an earlier row may have opened one
        ASSERT_NE(std::setlocale(LC_ALL, locale), nullptr) << locale;
        EXPECT_EQ(startLauncher(""), name != nullptr);
        std::setlocale(LC_ALL, "C.UTF-8");
        const auto made = filesBelow(home.path());
        if (!name) {
            EXPECT_TRUE(made.empty() && logPath.get().empty());
            continue;
        }
        const std::string folder = std::string(name) + "/Documents/My Games/ORV/";
        ASSERT_GE(made.size(), 2u);  // and the claim on the installation, made once per process
        EXPECT_EQ(made[0], folder + "ClientSettings.ini");
        EXPECT_EQ(made[1].rfind(folder + "Logs/Log_", 0), 0u) << made[1];
    }
    logPath.set("");
    if (!savedHome.empty()) setenv("HOME", savedHome.c_str(), 1);
}

std::vector<std::thread::id> shownOn;
int boxMilliseconds = 0;

int showBox(void*) {
    std::this_thread::sleep_for(std::chrono::milliseconds(boxMilliseconds));
    shownOn.push_back(std::this_thread::get_id());
    return 7;
}

// GTK lives on the thread that runs its main loop, and boxes come from any thread (the hashing
// thread's closing box did): the box goes to the loop and the raiser waits for its answer, also
// through a box open longer than one of its waits. Without a loop it is shown where raised.
TEST(MessageBoxThread, ShownWhereTheMainLoopRunsExactlyOnce) {
    for (const auto& [loopRuns, milliseconds] : {std::pair{false, 0}, {true, 0}, {true, 350}}) {
        shownOn.clear();
        boxMilliseconds = milliseconds;
        GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
        std::thread looper;
        if (loopRuns) {
            looper = std::thread([&] { g_main_loop_run(loop); });
            while (!g_main_loop_is_running(loop)) std::this_thread::yield();
        }
        EXPECT_EQ(platform::runOnGtkThread(showBox, nullptr), 7);
        EXPECT_EQ(shownOn, std::vector{loopRuns ? looper.get_id() : std::this_thread::get_id()});
        if (loopRuns) {
            g_main_loop_quit(loop);
            looper.join();
        }
        g_main_loop_unref(loop);
    }
}
#endif

using Texts = std::vector<std::u16string>;

std::u16string text(const char16_t* id, const std::u16string& value) {
    return u"{\"action\": \"updateText\", \"elementId\": \"" + std::u16string(id) +
           u"\", \"newText\": \"" + value + u"\"}";
}

TEST_F(Launcher, TickSendsTheStatusTextsOfEachPhaseAndProgressOnlyOnThePatcherPage) {
    const struct {
        std::int32_t phase;
        const char16_t *ut1, *ut2;
        RunOutcome outcome = Applied;
        const char16_t* notice = u"";  // shown only behind the texts of a finished run
    } rows[] = {
        {Idle, u"", u""},
        {Scanning, u"STEP 2/5 - Scanning >ORV< Installation...",
         u"Please be patient while the installation is being checked.", Applied, u"Newer."},
        {Complete, u"STEP 2/5 - Update Complete", u" Verify Installation... Newer.", Applied,
         u"Newer."},
        {Complete, u"STEP 2/5 - Update Incomplete",
         u"The update could not be completed; it will be tried again at the next start.",
         Incomplete},
        {Complete, u"STEP 2/5 - Update Incomplete: The Disk Is Full",
         u"Free some space on the disk of the >ORV< installation; the update will be tried again "
         u"at the next start.",
         DiskFull},
        {Complete, u"STEP 2/5 - Download Server Unreachable",
         u"The >ORV< installation was not checked.", Unchecked},
        {Complete, u"STEP 2/5 - No Current Version Published",
         u"The download server names no current version; the >ORV< installation was not checked.",
         NoServerVersion},
    };
    for (const bool onPatcherPage : {true, false}) {
        currentUrl = onPatcherPage ? patcherPageUrl() : clientPageUrl();
        for (const auto& row : rows) {
            browser.view.posted.clear();
            setProgress(row.phase, 40, 2, 5, row.outcome);
            PatchProgress.fileProgress = 7;
            PatchProgress.fileName.set(u"Data/a.pak (7 KB / 100 KB)");
            PatchProgress.notice.set(row.notice);
            progressTick();
            Texts expected = {text(u"ut1", row.ut1), text(u"ut2", row.ut2)};
            if (onPatcherPage)
                expected.push_back(
                    u"{\"action\": \"updateProgress\", \"overallProgress\": 40, \"fileProgress\": "
                    u"7, \"fileName\": \"Data/a.pak (7 KB / 100 KB)\"}");
            EXPECT_EQ(browser.view.posted, expected) << row.phase << " " << onPatcherPage;
        }
    }
    EXPECT_TRUE(browser.view.navigations.empty());
}

// Regression: the version check after a run ran on the UI thread, and a slow download server froze
// the window. The tick asks off the thread and looks at the answer on a later tick. The pause
// before the client page must not freeze the window either: ticks go on sending texts and neither
// ask nor navigate again until the page is due; the reset that follows keeps later ticks from
// repeating it.
TEST_F(Launcher, CompleteRunWithMatchingVersionsShowsTheClientPageAfterThePauseAndResets) {
    server.script("/version.ini", {answer(200, "[CurrentVersion]\nv=1.4\n", Delivery::Pause)});
    clientPageDelay = std::chrono::milliseconds(1000);
    setProgress(Complete, 100, 0, 0);
    const auto before = std::chrono::steady_clock::now();
    progressTick();
    currentUrl = clientPageUrl();  // as the browser reports the page it moved to
    progressTick();
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(1));
    EXPECT_EQ(browser.view.navigations, Texts{clientPage});
    server.release();
    waitForVersionCheck();
    browser.view.posted.clear();
    progressTick();
    progressTick();
    EXPECT_EQ(browser.view.posted.size(), 4u) << "texts go on during the pause";
    EXPECT_EQ(browser.view.navigations.size(), 1u);
    std::this_thread::sleep_for(std::chrono::milliseconds(1050));
    progressTick();
    progressTick();
    EXPECT_EQ(browser.view.navigations, (Texts{clientPage, clientPage}));
    EXPECT_EQ(PatchProgress.fileProgress + PatchProgress.overallProgress, 0);
    EXPECT_EQ(server.requests("/version.ini"), 1);

    // Regression (the patch-run race): a repair during the pause cancels the switch, and the
    // client page waits for the end of the repair's own run, seen by the timer or not.
    clientPageDelay = std::chrono::milliseconds(300);
    for (const bool timerSawTheRepair : {true, false}) {
        IniDocument::setValue(clientSettingsPath.get(), "CLIENT", "Version", "1.4");
        setProgress(Complete, 100, 0, 0);
        browser.view.navigations.clear();
        progressTick();
        waitForVersionCheck();
        progressTick();
        onWebMessage(nullptr, u"RepairAstrovance");
        std::this_thread::sleep_for(std::chrono::milliseconds(350));
        if (timerSawTheRepair) progressTick();
        // The repair's run has been claimed, has restored the version, and has ended.
        IniDocument::setValue(clientSettingsPath.get(), "CLIENT", "Version", "1.4");
        setProgress(Complete, 100, 0, 0);
        ++patchRunsClaimed;
        for (int tick = 0; tick < 3; ++tick, waitForVersionCheck()) progressTick();
        EXPECT_EQ(browser.view.navigations, Texts{patcherPageUrl()}) << timerSawTheRepair;
        std::this_thread::sleep_for(std::chrono::milliseconds(350));
        progressTick();
        EXPECT_EQ(browser.view.navigations, (Texts{patcherPageUrl(), clientPage}));
    }
}

// An answer that differs is asked for again after a pause, not on every tick. A run before its
// last step, or one that could not finish or check anything, shows the client page at once
// without asking: there is no version to compare.
TEST_F(Launcher, OtherFullRunsShowTheClientPageWithoutThePauseOrTheReset) {
    server.script("/version.ini", {answer(500)});
    versionRecheckPause = std::chrono::milliseconds(200);
    setProgress(Patching, 100, 0, 0);
    for (int tick = 0; tick < 3; ++tick, waitForVersionCheck()) progressTick();
    EXPECT_TRUE(browser.view.navigations.empty());
    EXPECT_EQ(server.requests("/version.ini"), 3) << "one check, three attempts";
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    progressTick();
    waitForVersionCheck();
    EXPECT_EQ(server.requests("/version.ini"), 6);
    for (const auto& [step, outcome] :
         {std::pair{1, Applied}, {2, Incomplete}, {2, Unchecked}, {2, NoServerVersion}}) {
        browser.view.navigations.clear();
        setProgress(Complete, 100, step, 2, outcome);
        progressTick();
        EXPECT_EQ(browser.view.navigations, Texts{clientPage}) << outcome;
        EXPECT_EQ(PatchProgress.overallProgress, 100);
    }
    waitForVersionCheck();
    EXPECT_EQ(server.requests("/version.ini"), 6);
}

// Only a launcher that the server names and that differs is offered: by the setup where it can
// update this launcher (Windows), else by a word on the page, never fetching the Windows setup
// (regression). A server that is down or names no launcher asks nothing (regression).
TEST_F(Launcher, OffersOnlyAKnownOtherLauncher) {
    const std::pair<HttpAnswer, std::string> rows[] = {
        // the answer, the check's log line
        {answer(200, "[Launcher]\nv=0.0.2 \n"), "Launcher is up to date."},
        {answer(404),
         "The download server could not be reached: the launcher's version was not checked"},
        {answer(200, "[CurrentVersion]\nv=1.0\n"),
         "The version file names no launcher: the launcher's version was not checked"},
        {answer(200, "[Launcher]\nv=0.0.3\n"), "Launcher outdated - New Version: 0.0.3"},
        {answer(200, "[Launcher]\nv=0.0.1\n"), "Launcher outdated - New Version: 0.0.1"},
    };
    for (const auto& [served, logged] : rows) {
        asked.clear();
        PatchProgress.notice.set(u"");
        server.script("/version.ini", {served});
        checkLauncherUpdate();
        const bool offered = logged.starts_with("Launcher outdated");
        const std::string version = logged.substr(logged.size() - 5);
        std::vector<std::string> boxes;
        std::u16string notice;
        if (offered && platform::setupUpdatesLauncher)
            boxes = {"A new version is available. Version: " + version +
                     ".\nDo you want to update now?"};
        else if (offered)
            notice = toWide("Launcher " + version + " is available from " + server.url() + ".");
        EXPECT_EQ(std::ranges::count(logMessages(), logged), 1) << logged;
        EXPECT_EQ(asked, boxes) << logged;
        EXPECT_EQ(PatchProgress.notice.get(), notice) << logged;
    }
    EXPECT_EQ(server.requests("/ORV-Setup.exe"), 0);
}

TEST_F(Launcher, YesDownloadsAndStartsTheSetupThenEnds) {
    server.script("/ORV-Setup.exe", {answer(200, "MZ setup program")});
    writeFile("ORV-Setup.exe", "an older setup");
    given = platform::MessageAnswer::Yes;
    // Built with a key, a setup other than the one signed is not started, nor kept.
    const SecretKey key = makeSecretKey();
    overrideUpdatePublicKey(writePublicKey(publicKeyOf(key)));
    struct KeyReset {
        ~KeyReset() { overrideUpdatePublicKey(""); }
    } keyReset;
    server.script("/ORV-Setup.exe.minisig",
                  {answer(200, signMessage(key, "MZ the team's setup", "timestamp:1"))});
    offerLauncherSetup("0.0.3");
    EXPECT_EQ(readFile("ORV-Setup.exe"), "an older setup");
    EXPECT_EQ(logMessages().back(),
              "The setup could not be saved: the launcher goes on without updating");
    const std::string refused = "Signature refused for " + server.url() + "/ORV-Setup.exe";
    EXPECT_EQ(
        std::ranges::count_if(logMessages(),
                              [&](const std::string& line) { return line.starts_with(refused); }),
        1);
    server.script("/ORV-Setup.exe.minisig",
                  {answer(200, signMessage(key, "MZ setup program", "timestamp:1"))});
    EXPECT_EXIT(offerLauncherSetup("0.0.3"), testing::ExitedWithCode(0), "");
    given = platform::MessageAnswer::No;
#ifndef _WIN32  // there the death test's child is a new process with its own folder and server
    EXPECT_EQ(readFile("ORV-Setup.exe"), "MZ setup program");
    EXPECT_EQ(logMessages().front(), "User chose to update.");
    EXPECT_EQ(logMessages().back(), "Started Setup");
#endif
}

}  // namespace
