// What the launcher does with its browser's pages: what it sends them (progress, texts, the
// report's manifest pages), what their loads, commands and navigations do, and whose it obeys.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
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
#include "web/client_sync.h"
#include "web/page_messages.h"
#include "web/report_feed.h"

namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;
using Texts = std::vector<std::u16string>;

template <typename Done>
bool waitFor(Done done) {
    for (int i = 0; i < 500 && !done(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return done();
}

class Web : public testing::Test {
protected:
    TempDir dir;
    WorkingFolder installation{dir.path()};
    HttpServer server;
    FakeBrowser browser;
    std::size_t seen = 0;  // log lines already looked at

    void SetUp() override {
        useUserFolder(dir);
        clientToken.set("c0ffee");
        overrideEndpoints(server.url(), server.url());
        IniDocument::setValue(clientSettingsPath.get(), "CLIENT", "Version", "1.4");
        PatchProgress.phase = Idle;
        lastClientSync = 0;
        currentUrl.clear();
        reportPage = 0;
    }
    // A detached run must not outlive the test's folder.
    void TearDown() override {
        waitFor([] { return !patchRunning; });
        server.release();
        waitForClientWork();
    }
    std::u16string page(const char* path) { return toWide(server.url(path)); }
    Lines newLines() {
        Lines log = logMessages();
        log.erase(log.begin(), log.begin() + static_cast<std::ptrdiff_t>(seen));
        seen += log.size();
        return log;
    }
};

// The ready browser shows the patcher page; its load starts the timer and one run. A reload
// during the run restarts the timer but not the run; a load after it starts neither.
TEST_F(Web, PatcherPageStartsTimerAndOnePatchRunUntilComplete) {
    onBrowserReady(&browser.view);
    EXPECT_EQ(browser.view.navigations, Texts{page("/patcher")});
    server.script("/version.ini", {answer(200, "[CurrentVersion]\nv=1.4\n", Delivery::Pause)});
    browser.load(page("/patcher/"));
    waitFor([&] { return server.requests("/version.ini") > 0; });
    browser.load(page("/patcher/"));
    EXPECT_EQ(browser.window.timerStarts, 2);
    server.release();
    ASSERT_TRUE(waitFor([] { return !patchRunning && PatchProgress.phase == Complete; }));
    browser.load(page("/patcher/"));
    EXPECT_EQ(browser.window.timerStarts, 2) << "a completed run starts neither timer nor run";
    EXPECT_EQ(server.requests("/version.ini"), 1) << "only the first load started a run";
}

const std::string settingsQuery = "/launcher_client/index.php?a=getgamesettings&token=c0ffee";
const std::string windowed =
    R"({"windowmode":"true","autoconnect":"off",)"
    R"("update_lanlist":"off","use4gbvram":"off","runinbackground":"true"})";

TEST_F(Web, ClientPageSyncsAtMostOnceASecond) {
    server.script(settingsQuery, {answer(200, windowed)});
    browser.load(page("/launcher_client/index.php"));
    browser.load(page("/launcher_client/index.php"));
    waitForClientWork();
    EXPECT_EQ(server.requests(settingsQuery), 1);
    EXPECT_EQ(IniDocument::getValue(clientSettingsPath.get(), "Config", "WindowMode"), "true");
    lastClientSync -= 1'000'000'000;
    browser.load(page("/launcher_client/index.php?token=c0ffee"));
    waitForClientWork();
    EXPECT_EQ(server.requests(settingsQuery), 1) << "only the page without a query syncs";
    browser.load(page("/launcher_client/index.php"));
    waitForClientWork();
    EXPECT_EQ(server.requests(settingsQuery), 2);
}

// Regression: the sync ran on the UI thread, and a web service slow to answer froze the window
// (close obeyed only when the answer came). The load returns at once; a load meanwhile starts no
// second sync; the game start waits for the sync and gets its settings.
TEST_F(Web, ClientPageSyncRunsBesideTheWindowAndTheGameStartWaitsForIt) {
    server.script(settingsQuery, {answer(200, windowed, Delivery::Pause)});
    const auto before = std::chrono::steady_clock::now();
    browser.load(page("/launcher_client/index.php"));
    ASSERT_TRUE(waitFor([&] { return server.requests(settingsQuery) == 1; }));
    lastClientSync -= 1'000'000'000;
    browser.load(page("/launcher_client/index.php"));
    onWebMessage(&browser.window, u"StartAstrovance");
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(3));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(IniDocument::getValue(clientSettingsPath.get(), "Config", "WindowMode"), "");
    server.release();
    waitForClientWork();
    EXPECT_EQ(server.requests(settingsQuery), 1);
    const Lines log = newLines();
    const auto line = [&](const std::string& text) {
        return std::find(log.begin(), log.end(), text) - log.begin();
    };
    EXPECT_LT(line("The settings and account sync is still running: this load starts none"),
              line("Start Astrovance"));
    EXPECT_LT(line("The game starts once the settings and account sync has ended"),
              line("Startparameters:  -w"));
    EXPECT_LT(line("Startparameters:  -w"), static_cast<std::ptrdiff_t>(log.size()))
        << "the game started with the synced settings";
}

// The player's close is obeyed at once, while the service still holds the sync's answer.
TEST_F(Web, CloseIsObeyedWhileASyncWaitsForTheService) {
    // The child starts afresh, with a server of its own: a fork would copy this one's threads.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    server.script(settingsQuery, {answer(200, windowed, Delivery::Pause)});
    const auto before = std::chrono::steady_clock::now();
    EXPECT_EXIT(
        {
            browser.load(page("/launcher_client/index.php"));
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            onWebMessage(&browser.window, u"close");
        },
        testing::ExitedWithCode(0), "");
    GTEST_FLAG_SET(death_test_style, "fast");
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(3));
}

// Quotes and control characters in a path cannot break the array; a blank line counts but yields
// no item. A completed load without a source keeps the last URL: the report page is filled again.
TEST_F(Web, ReportPageGetsTheManifestAndOtherPagesDoNothing) {
    writeFile(hashesPath.get(),
              "EXE\\A.exe = 352441c2\nno equals sign\n\n  spaced  =  0 \nwe\"ird\tname = 1\n");
    browser.load(page("/patcher/report.html"));
    browser.view.shownUrl.reset();
    writeFile(hashesPath.get(), "b = 2\n");
    onNavigationCompleted();
    browser.load(u"about:blank");
    browser.load(page("/patcher"));
    EXPECT_EQ(browser.window.timerStarts, 0);
    EXPECT_EQ(browser.view.posted, (Texts{uR"([{"id":1, "path":"EXE\\A.exe", "hash":"352441c2"},)"
                                          uR"({"id":2, "path":"no equals sign", "hash":""},)"
                                          uR"({"id":4, "path":"spaced", "hash":"0"},)"
                                          uR"({"id":5, "path":"we\"ird\tname", "hash":"1"}])",
                                          uR"([{"id":1, "path":"b", "hash":"2"}])"}));
}

// Pages of 500 lines; past the last line the feed starts over, also right after a full page. A
// last line without its line end is one a scan is still writing: it is not sent yet.
struct FeedPage {
    int lines, page;  // of the manifest "fN = N" for N from 1; the page asked for
    int first, last;  // the lines sent
    int pageAfter;
    bool lastLineCut = false;
};

const FeedPage feedPages[] = {
    {1200, 2, 1001, 1200, 2}, {1000, 2, 1, 500, 0}, {0, 3, 1, 0, 0}, {501, 1, 1, 500, 0, true}};

TEST_F(Web, ReportPagesThroughTheManifestAndWraps) {
    sendReportPage();
    EXPECT_EQ(newLines(), Lines{"Error open Hashes.ini"});
    for (const FeedPage& row : feedPages) {
        std::string manifest, items;
        for (int i = 1; i <= row.lines; ++i) {
            const std::string n = std::to_string(i);
            manifest += "f" + n + " = " + n + (i == row.lines && row.lastLineCut ? "" : "\n");
            if (i >= row.first && i <= row.last)
                items += (i > row.first ? ",{\"id\":" : "{\"id\":") + n + ", \"path\":\"f" + n +
                         "\", \"hash\":\"" + n + "\"}";
        }
        writeFile(hashesPath.get(), manifest);
        reportPage = row.page;
        sendReportPage();
        EXPECT_EQ(browser.view.posted.back(), toWide("[" + items + "]")) << row.lines;
        EXPECT_EQ(reportPage, row.pageAfter) << row.lines;
    }
}

// Only the web service's pages stay in the launcher's window, where the player has no address
// bar; other web pages go to the desktop's browser and anything else nowhere. Frames of a page
// may show other sites.
struct Navigation {
    char asked;  // P: the page, F: a frame, W: a new window
    const char16_t* url;
    bool goesOn;         // the browser may go on (a new window never does)
    const char* action;  // what the log says before the URL; null for nothing
};

constexpr const char *opening = "Opening in the browser: ", *refused = "Refused to open ";

const Navigation navigations[] = {
    {'P', u"http://127.0.0.1:47811/patcher", true, nullptr},
    {'P', u"http://127.0.0.1:47810/forum/", false, opening},
    {'P', u"file:///home/pilot/.ssh/id_ed25519", false, refused},
    {'P', u"javascript:alert(1)", false, refused},
    // The shell gets only what a browser would have escaped.
    {'P', u"https://forum.example/\"&calc", false, refused},
    {'P', u"https://forum.example/ -new-window", false, refused},
    {'W', u"http://127.0.0.1:47811/patcher/report.html", false, opening},
    {'F', u"https://video.example/embed/1", true, nullptr},
    {'F', u"about:srcdoc", true, nullptr},
    {'F', u"file:///etc/passwd", false, refused},
};

Texts opened;

TEST_F(Web, OnlyTheWebServicesPagesStayInTheWindow) {
    overrideEndpoints("http://127.0.0.1:47810", "http://127.0.0.1:47811");
    browserOpener = [](const std::u16string& url) { opened.push_back(url); };
    for (const Navigation& row : navigations) {
        SCOPED_TRACE(toNarrow(row.url));
        opened.clear();
        bool goesOn = false;
        if (row.asked == 'P') goesOn = onTopLevelNavigation(row.url);
        if (row.asked == 'F') goesOn = onFrameNavigation(row.url);
        if (row.asked == 'W') onNewWindowRequested(row.url);
        EXPECT_EQ(goesOn, row.goesOn);
        EXPECT_EQ(newLines(), row.action ? Lines{row.action + toNarrow(row.url)} : Lines{});
        EXPECT_EQ(opened, row.action == opening ? Texts{row.url} : Texts{});
    }
    browserOpener = nullptr;
}

// Only documents of the web service's own origin command the launcher: the scheme, host and
// port of webServiceUrl, as browsers compare them. What any other posts is logged and ignored.
struct Sender {
    const char* service;
    const char16_t* source;
    const char16_t* message;      // null: something that is not a string
    const char* from;             // the sender as logged; null when it is the web service
    const char* shown = nullptr;  // the message as logged when not as sent
};

constexpr const char *local = "http://127.0.0.1:47811", *otherPort = "http://127.0.0.1:47810";

const Sender senders[] = {
    {local, u"http://127.0.0.1:47811/launcher_client/index.php", u"loadMore", nullptr},
    {local, u"http://127.0.0.1:47811/", nullptr, nullptr},
    {local, u"http://127.0.0.1:47811/", u"repairastrovance", nullptr},  // commands match exactly
    {local, u"http://127.0.0.1:47810/", u"RepairAstrovance", otherPort},
    {local, u"https://127.0.0.1:47811/patcher/", u"loadMore", "https://127.0.0.1:47811"},
    {local, u"http://127.0.0.1.evil:47811/", u"loadMore", "http://127.0.0.1.evil:47811"},
    {local, u"http://127.0.0.1:47811@x@evil/", u"loadMore", "http://evil"},
    {local, u"blob:http://127.0.0.1:47811/5f0c", u"loadMore", "blob:http://127.0.0.1:47811/5f0c"},
    {local, u"", u"loadMore", "an unknown page"},
    // The text cannot forge a line of the log, fill it, nor break its code page.
    {local, u"http://127.0.0.1:47810/",
     u"close\r\n2025-05-17 12:03:56 - Repair \xDE80 Astrovance and then many more words", otherPort,
     "close??2025-05-17 12:03:56 - Repair ? Astrovance and then ma..."},
    {"https://Orv.Example", u"https://ORV.example:443/launcher_client/", u"loadMore", nullptr},
    {"http://[::1]:47811", u"http://[::1]:47811/patcher/", u"loadMore", nullptr},
    {"http://[FE80::A]:47811", u"http://[fe80::a]:47811/", u"loadMore", nullptr},
    // Spellings that browsers read as another host are no origin at all.
    {local, u"http://0x7f.1:47811/", u"loadMore", "http://0x7f.1:47811/"},
    {local, u"http://%31%32%37.0.0.1:47811/", u"loadMore", "http://%31%32%37.0.0.1:47811/"},
    {"http://[::1]:47811", u"http://[0::1]:47811/", u"loadMore", "http://[0::1]:47811/"},
    {local, u"http://evil.example\\@127.0.0.1:47811/", u"loadMore",
     "http://evil.example\\@127.0.0.1:47811/"},
};

TEST_F(Web, PageMessagesActOnlyWhenPostedByTheWebServicesOwnPages) {
    writeFile("Astrovance/EXE/Astrovance.exe", "game");
    for (const Sender& row : senders) {
        SCOPED_TRACE(row.service + std::string(" <- ") + toNarrow(row.source));
        overrideEndpoints("http://127.0.0.1:47810", row.service);
        reportPage = 0;
        browser.view.reloads = 0;
        onWebMessageReceived(
            row.source, row.message ? std::optional<std::u16string>(row.message) : std::nullopt);
        const bool acts = !row.from && row.message && row.message == std::u16string(u"loadMore");
        EXPECT_EQ(reportPage, acts ? 1 : 0);
        EXPECT_EQ(browser.view.reloads, acts ? 1 : 0);
        Lines line;
        if (row.from)
            line.push_back("Page message from " + std::string(row.from) +
                           " ignored: " + (row.shown ? row.shown : toNarrow(row.message)));
        EXPECT_EQ(newLines(), line);
    }
    EXPECT_TRUE(fs::exists("Astrovance/EXE/Astrovance.exe")) << "no repair came through";
}

// The game data stays, and the patcher page starts a new run.
TEST_F(Web, RepairResetsVersionProgressAndGameFolderThenShowsThePatcherPage) {
    writeFile("Astrovance/EXE/sub/x.dll", "dll");
    writeFile("Astrovance/Data/keep.pak", "data");
    PatchProgress.overallProgress = 100;
    PatchProgress.phase = Complete;
    onWebMessage(&browser.window, u"RepairAstrovance");
    EXPECT_EQ(IniDocument::getValue(clientSettingsPath.get(), "CLIENT", "Version"), "0.0.0");
    EXPECT_EQ(filesBelow("Astrovance"), Lines{"Data/keep.pak"});
    EXPECT_FALSE(fs::exists("Astrovance/EXE"));
    EXPECT_EQ(PatchProgress.overallProgress, 0);
    EXPECT_EQ(PatchProgress.phase, Idle);
    EXPECT_EQ(logMessages(), Lines{"Repair Astrovance"});
    EXPECT_EQ(browser.view.navigations, Texts{patcherPageUrl()});
}

// A file name from a manifest must not break the page's JSON or smuggle in members. A byte of a
// file name that is no UTF-8 arrives as half a surrogate pair: it once made the JSON invalid.
TEST_F(Web, ProgressAndTextHaveTheExactShapeWithValuesEscaped) {
    postProgress(42, -3, u"a\"b\\c\n\t\x01\", \"action\": \"x");
    postText(u"ut2", std::u16string(u"x") + char16_t(0xDCFF) + u"\U0001F680" + char16_t(0xD800));
    EXPECT_EQ(browser.view.posted,
              (Texts{uR"({"action": "updateProgress", "overallProgress": 42, "fileProgress": -3, )"
                     uR"("fileName": "a\"b\\c\n\t\u0001\", \"action\": \"x"})",
                     u"{\"action\": \"updateText\", \"elementId\": \"ut2\", "
                     u"\"newText\": \"x\uFFFD\U0001F680\uFFFD\"}"}));
}

}  // namespace
