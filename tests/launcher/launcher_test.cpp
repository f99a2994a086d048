// Start-up, the window's timer tick and the launcher's own update.
#include <gtest/gtest.h>

#include <algorithm>
#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <mutex>
#include <thread>

#include "core/ini_document.h"
#include "core/log.h"
#include "core/patch_progress.h"
#include "core/text.h"
#include "core/user_paths.h"
#include "launcher/progress_pump.h"
#include "launcher/self_update.h"
#include "launcher/startup.h"
#include "launcher/version.h"
#include "launcher/window_layout.h"
#include "net/endpoints.h"
#include "patch/patch_thread.h"
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

TEST(CommandLine, SplitsAtAnyRunOfWhiteSpaceAndOnlyTheExactWordSelectsHashing) {
    EXPECT_EQ(splitCommandWords(" \t "), std::vector<std::string>{});
    EXPECT_EQ(splitCommandWords("  a\t-h \n b "), (std::vector<std::string>{"a", "-h", "b"}));
    EXPECT_TRUE(hasHashFlag(splitCommandWords("first -h")));
    for (const char* line : {"", "-H", "/h", "--h", "-hh", "x-h", "\"-h\""})
        EXPECT_FALSE(hasHashFlag(splitCommandWords(line))) << line;
}

TEST(WindowLayout, CentresTheDesignSizeAndLeavesTheBrowserATwoPixelRim) {
    const std::pair<WindowRect, WindowRect> rows[] = {
        {launcherWindowRect(1920, 1080), {510, 290, 1414, 794}},
        {launcherWindowRect(1367, 769), {233, 134, 1137, 638}},
        // Smaller than the design: negative edges, truncated toward zero.
        {launcherWindowRect(800, 499), {-50, 0, 854, 504}},
        {launcherWindowRect(897, 400), {-1, -50, 903, 454}},
        {browserBounds(904, 504), {2, 2, 902, 502}},
    };
    for (const auto& [got, want] : rows)
        EXPECT_TRUE(got.left == want.left && got.top == want.top && got.right == want.right &&
                    got.bottom == want.bottom)
            << want.left << "," << want.top;
}

#ifndef _WIN32
// Where the start-up puts the user files, if anywhere. Without any documents folder the launcher
// ends at once and writes nothing. Regression: the home folder's name is bytes, and a UTF-8 name
// ("José" under LC_ALL=C) must stay UTF-8; a name that is not UTF-8 is used as it is.
TEST(Startup, UserFilesGoUnderTheHomeFolderByteForByteInAnyLocale) {
    const std::pair<const char*, const char*> rows[] = {
        // home (nullptr: no HOME), locale
        {nullptr, "C.UTF-8"},
        {"Jos\xC3\xA9", "C"},
        {"J\xC3\xBCrgen \xE5\xB1\xB1\xE7\x94\xB0", "C.UTF-8"},
        {"Jos\xE9", "C.UTF-8"},
    };
    HttpServer server;
    server.script("/version.ini", {answer(200, "[Launcher]\nv=" + LauncherVersion + "\n")});
    const std::string savedServers[] = {downloadServerUrl, webServiceUrl};
    overrideEndpoints(server.url(), server.url());
    const std::string savedHome = std::getenv("HOME") ? std::getenv("HOME") : "";
    const std::string savedLocale = std::setlocale(LC_ALL, nullptr);
    unsetenv("XDG_DOCUMENTS_DIR");
    unsetenv("XDG_CONFIG_HOME");
    for (const auto& [name, locale] : rows) {
        TempDir dir;
        const WorkingFolder inDir(dir.path());
        const std::string home = name ? dir.file(name) : "";
        if (name) std::filesystem::create_directory(home);
        name ? setenv("HOME", home.c_str(), 1) : unsetenv("HOME");
        logPath.set("");  // an earlier row may have opened one
        ASSERT_NE(std::setlocale(LC_ALL, locale), nullptr) << locale;
        const bool goesOn = startLauncher("");
        std::setlocale(LC_ALL, savedLocale.c_str());
        EXPECT_EQ(goesOn, name != nullptr);
        std::vector<std::string> made;
        for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
            made.push_back(entry.path().filename().string());
        EXPECT_EQ(made, name ? std::vector<std::string>{name} : std::vector<std::string>{});
        if (!name) {
            EXPECT_EQ(logPath.get(), "") << "no log was opened";
            continue;
        }
        const std::string folder = home + "/Documents/My Games/ORV/";
        EXPECT_EQ(logPath.get().rfind(folder + "Logs/Log_", 0), 0u) << logPath.get();
        EXPECT_NE(readFile(logPath.get()).find("Launcher started - " + LauncherVersion),
                  std::string::npos);
        EXPECT_NE(readFile(folder + "ClientSettings.ini").find("token="), std::string::npos);
    }
    logPath.set("");
    overrideEndpoints(savedServers[0], savedServers[1]);
    if (!savedHome.empty()) setenv("HOME", savedHome.c_str(), 1);
}

std::mutex shownLock;
std::vector<std::thread::id> shownOn;
int boxMilliseconds = 0;

int showBox(void*) {
    std::this_thread::sleep_for(std::chrono::milliseconds(boxMilliseconds));
    const std::lock_guard lock(shownLock);
    shownOn.push_back(std::this_thread::get_id());
    return static_cast<int>(shownOn.size());
}

gboolean raiseOnLoop(gpointer answer) {
    static_cast<std::promise<int>*>(answer)->set_value(platform::runOnGtkThread(showBox, nullptr));
    return G_SOURCE_REMOVE;
}

// Boxes are raised from any thread, but GTK lives on the thread that runs its main loop: the box
// goes there and the raiser waits for its answer. Without a loop the box is shown where it was
// raised; one queued on a loop that ends without reaching it is shown there too, and a box raised
// on the loop's own thread is shown at once. Each box is shown once.
TEST(MessageBoxThread, ShownWhereTheMainLoopRunsExactlyOnce) {
    enum Loop { None, Running, EndsUnattended };
    const struct {
        Loop loop;
        int raisers, boxMilliseconds;
        bool fromLoopThread;
    } rows[] = {{None, 1, 0, false},      {Running, 1, 0, false},       {Running, 2, 50, false},
                {Running, 1, 350, false},  // open through several of the raiser's waits
                {Running, 1, 0, true},    {EndsUnattended, 1, 0, false}};
    GMainContext* const context = g_main_context_default();
    for (const auto& row : rows) {
        shownOn.clear();
        boxMilliseconds = row.boxMilliseconds;
        GMainLoop* loop = g_main_loop_new(context, FALSE);
        std::promise<std::thread::id> started;
        std::thread looper;
        if (row.loop == Running) {
            looper = std::thread([&] {
                g_idle_add(
                    [](gpointer started) -> gboolean {
                        static_cast<std::promise<std::thread::id>*>(started)->set_value(
                            std::this_thread::get_id());
                        return G_SOURCE_REMOVE;
                    },
                    &started);
                g_main_loop_run(loop);
            });
        } else if (row.loop == EndsUnattended) {  // owns the context, lets go without dispatching
            looper = std::thread([&] {
                const bool owned = g_main_context_acquire(context);
                started.set_value(std::this_thread::get_id());
                for (int i = 0; i < 10000 && !g_main_context_pending(context); ++i)
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                if (owned) g_main_context_release(context);
            });
        } else {
            started.set_value({});
        }
        const std::thread::id loopThread = started.get_future().get();
        std::vector<int> answers(static_cast<std::size_t>(row.raisers));
        std::thread::id raisedOn = loopThread;
        if (row.fromLoopThread) {
            std::promise<int> answer;
            g_main_context_invoke(context, raiseOnLoop, &answer);
            answers[0] = answer.get_future().get();
        } else {
            std::vector<std::thread> raisers;
            for (std::size_t i = 0; i < answers.size(); ++i)
                raisers.emplace_back([&, i] {
                    if (i == 0) raisedOn = std::this_thread::get_id();
                    answers[i] = platform::runOnGtkThread(showBox, nullptr);
                });
            for (auto& raiser : raisers) raiser.join();
        }
        if (row.loop == Running) g_main_loop_quit(loop);
        if (looper.joinable()) looper.join();
        g_main_loop_unref(loop);
        // A box taken back from the ended loop leaves its queued call behind: it must do nothing.
        while (g_main_context_iteration(context, FALSE)) {
        }
        ASSERT_EQ(shownOn.size(), answers.size()) << row.loop << row.boxMilliseconds;
        std::sort(answers.begin(), answers.end());
        for (std::size_t i = 0; i < answers.size(); ++i) {
            EXPECT_EQ(answers[i], static_cast<int>(i) + 1) << "each raiser its answer";
            EXPECT_EQ(shownOn[i], row.loop == Running ? loopThread : raisedOn) << row.loop;
        }
    }
}
#endif

using Texts = std::vector<std::u16string>;

class ProgressTick : public testing::Test {
protected:
    TempDir dir;
    HttpServer server;
    FakeBrowser browser;
    const std::u16string clientPage = toWide(server.url("/launcher_client/index.php?token=1a2b"));

    void SetUp() override {
        useUserFolder(dir);
        clientToken.set("1a2b");
        overrideEndpoints(server.url(), server.url());
        clientPageDelay = std::chrono::milliseconds(0);
        currentUrl = patcherPageUrl();
        IniDocument::setValue(clientSettingsPath.get(), "CLIENT", "Version", "1.4");
        setProgress(Idle, 0, 0, 0);
    }
    void TearDown() override { setProgress(Idle, 0, 0, 0); }
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

std::u16string text(const char16_t* id, const std::u16string& value) {
    return u"{\"action\": \"updateText\", \"elementId\": \"" + std::u16string(id) +
           u"\", \"newText\": \"" + value + u"\"}";
}

TEST_F(ProgressTick, SendsTheStatusTextsOfEachPhaseAndProgressOnlyOnThePatcherPage) {
    const struct {
        std::int32_t phase;
        const char16_t *ut1, *ut2;  // nullptr: no texts
        RunOutcome outcome = Applied;
        const char16_t* notice = u"";  // shown only behind the texts of a finished run
    } rows[] = {
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
    for (const bool onPatcherPage : {true, false}) {
        currentUrl = onPatcherPage ? patcherPageUrl() : clientPageUrl();
        for (const auto& row : rows) {
            browser.view.posted.clear();
            setProgress(row.phase, 40, 2, 5, row.outcome);
            PatchProgress.fileProgress = 7;
            PatchProgress.fileName.set(u"Data/a.pak (7 KB / 100 KB)");
            PatchProgress.notice.set(row.notice);
            progressTick();
            Texts expected;
            if (row.ut1) expected = {text(u"ut1", row.ut1), text(u"ut2", row.ut2)};
            if (onPatcherPage)
                expected.push_back(
                    u"{\"action\": \"updateProgress\", \"overallProgress\": 40, \"fileProgress\": "
                    u"7, \"fileName\": \"Data/a.pak (7 KB / 100 KB)\"}");
            EXPECT_EQ(browser.view.posted, expected) << row.phase << " " << onPatcherPage;
        }
    }
    EXPECT_TRUE(browser.view.navigations.empty());
}

// The pause before the client page must not freeze the window: ticks go on sending texts and
// progress, and neither fetch nor navigate again until the page is due; the reset that follows
// keeps later ticks from repeating it.
TEST_F(ProgressTick, CompleteRunWithMatchingVersionsShowsTheClientPageAfterThePauseAndResets) {
    server.script("/version.ini", {answer(200, "[CurrentVersion]\nv=1.4\n")});
    clientPageDelay = std::chrono::milliseconds(1000);
    setProgress(Complete, 100, 0, 0);
    progressTick();
    EXPECT_EQ(browser.view.navigations, Texts{clientPage});
    browser.view.posted.clear();
    progressTick();
    EXPECT_EQ(browser.view.posted.size(), 3u) << "texts and progress go on during the pause";
    EXPECT_EQ(browser.view.navigations.size(), 1u);
    EXPECT_EQ(PatchProgress.overallProgress, 100);
    std::this_thread::sleep_for(std::chrono::milliseconds(1050));
    progressTick();
    progressTick();
    EXPECT_EQ(browser.view.navigations, (Texts{clientPage, clientPage}));
    EXPECT_EQ(PatchProgress.fileProgress + PatchProgress.overallProgress, 0);
    EXPECT_EQ(server.requests("/version.ini"), 1);

    // Regression (the patch-run race): a repair during the pause cancels the switch, and the
    // client page waits for the end of the repair's own run, seen by the timer or not.
    const WorkingFolder inInstallation(dir.path());
    for (const bool timerSawTheRepair : {true, false}) {
        IniDocument::setValue(clientSettingsPath.get(), "CLIENT", "Version", "1.4");
        setProgress(Complete, 100, 0, 0);
        browser.view.navigations.clear();
        progressTick();
        onWebMessage(nullptr, u"RepairAstrovance");
        std::this_thread::sleep_for(std::chrono::milliseconds(1050));
        if (timerSawTheRepair) progressTick();
        setProgress(Complete, 100, 0, 0);  // the repair's run has been claimed and ended
        ++patchRunsClaimed;
        progressTick();
        if (!timerSawTheRepair) {
            EXPECT_EQ(browser.view.navigations, (Texts{clientPage, patcherPageUrl()}));
            progressTick();
        }
        EXPECT_EQ(browser.view.navigations, (Texts{clientPage, patcherPageUrl(), clientPage}));
    }
}

// Without matching versions the version is asked on every tick. A run before its last step, or
// one that could not finish or check anything, shows the client page at once without asking:
// there is no version to compare, and asking on every tick would freeze the window.
TEST_F(ProgressTick, OtherFullRunsShowTheClientPageWithoutThePauseOrTheReset) {
    server.script("/version.ini", {answer(500)});
    setProgress(Patching, 100, 0, 0);
    progressTick();
    progressTick();
    EXPECT_TRUE(browser.view.navigations.empty());
    EXPECT_EQ(server.requests("/version.ini"), 6) << "three attempts per tick";
    const struct {
        int step;
        RunOutcome outcome;
    } rows[] = {{1, Applied}, {2, Incomplete}, {2, Unchecked}};
    for (const auto& row : rows) {
        browser.view.navigations.clear();
        setProgress(Complete, 100, row.step, 2, row.outcome);
        progressTick();
        EXPECT_EQ(browser.view.navigations, Texts{clientPage}) << row.outcome;
        EXPECT_EQ(PatchProgress.overallProgress, 100);
    }
    EXPECT_EQ(server.requests("/version.ini"), 6);
}

std::vector<std::string> asked;  // text, caption and kind of every box
platform::MessageAnswer given = platform::MessageAnswer::No;

class SelfUpdate : public testing::Test {
protected:
    TempDir dir;
    const WorkingFolder inInstallation{dir.path()};
    HttpServer server;
    const platform::MessageBoxAnswerer previous = platform::messageBoxAnswerer;

    void SetUp() override {
        overrideEndpoints(server.url(), server.url());
        asked.clear();
        platform::messageBoxAnswerer = [](const std::string& text, const std::string& caption,
                                          platform::MessageKind kind) {
            asked.push_back(text + "|" + caption + "|" + std::to_string(static_cast<int>(kind)));
            return given;
        };
    }
    void TearDown() override {
        platform::messageBoxAnswerer = previous;
        PatchProgress.notice.set(u"");
    }
};

// Only a launcher that the server names and that differs is offered: by the setup where it can
// update this launcher (Windows), else by a word on the page, and the Windows setup is never
// fetched (regression). A server that is down is no reason to ask anything (regression).
TEST_F(SelfUpdate, OffersOnlyAKnownOtherLauncher) {
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
        useUserFolder(dir);
        asked.clear();
        PatchProgress.notice.set(u"");
        server.script("/version.ini", {served});
        checkLauncherUpdate();
        auto log = logMessages();
        std::erase_if(log, [](const std::string& line) { return line.starts_with("HTTP Error"); });
        std::vector<std::string> expected = {logged}, boxes;
        std::u16string notice;
        const std::string version = logged.substr(logged.size() - 5);
        if (logged.starts_with("Launcher outdated") && platform::setupUpdatesLauncher) {
            expected.push_back("User chose not to update.");
            boxes = {"A new version is available. Version: " + version +
                     ".\nDo you want to update now?|Update Available|" +
                     std::to_string(static_cast<int>(platform::MessageKind::Question))};
        } else if (logged.starts_with("Launcher outdated")) {
            expected.push_back("Launcher " + version + " is to be had from " + server.url());
            notice = toWide("Launcher " + version + " is available from " + server.url() + ".");
        }
        EXPECT_EQ(log, expected);
        EXPECT_EQ(asked, boxes) << logged;
        EXPECT_EQ(PatchProgress.notice.get(), notice) << logged;
    }
    EXPECT_EQ(server.requests("/ORV-Setup.exe"), 0);
}

TEST_F(SelfUpdate, YesDownloadsAndStartsTheSetupThenEnds) {
    useUserFolder(dir);
    server.script("/ORV-Setup.exe", {answer(200, "MZ setup program")});
    writeFile("ORV-Setup.exe", "an older setup");
    given = platform::MessageAnswer::Yes;
    EXPECT_EXIT(offerLauncherSetup("0.0.3"), testing::ExitedWithCode(0), "");
    given = platform::MessageAnswer::No;
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
