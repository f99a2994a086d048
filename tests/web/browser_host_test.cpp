#include "web/browser_host.h"

#include <gtest/gtest.h>

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

namespace {

namespace fs = std::filesystem;

class BrowserHost : public testing::Test {
protected:
    TempDir dir;
    HttpServer server;
    FakeBrowser browser;
    fs::path cwd = fs::current_path();

    void SetUp() override {
        useUserFolder(dir);
        clientToken.set("c0ffee");
        fs::create_directories(dir.path() / "install");
        fs::current_path(dir.path() / "install");
        overrideEndpoints(server.url(), server.url());
        IniDocument::setValue(clientSettingsPath.get(), "CLIENT", "Version", "1.4");
        PatchProgress.phase = Idle;
        lastClientSync = 0;
        currentUrl.clear();
    }
    void TearDown() override {
        // A detached run must not outlive the test's folder.
        for (int i = 0; i < 500 && patchRunning; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        fs::current_path(cwd);
    }
    std::u16string page(const char* path) { return toWide(server.url(path)); }
};

TEST_F(BrowserHost, ReadyBrowserShowsThePatcherPage) {
    onBrowserReady(&browser.view);
    EXPECT_EQ(browser.view.navigations, std::vector<std::u16string>{page("/patcher")});
}

// A reload during the run restarts the timer but not the run; a load after it starts neither.
TEST_F(BrowserHost, PatcherPageStartsTimerAndOnePatchRunUntilComplete) {
    server.script("/version.ini", {answer(200, "[CurrentVersion]\nv=1.4\n", Delivery::Pause)});
    browser.load(page("/patcher/"));
    EXPECT_EQ(browser.window.timerStarts, 1);
    for (int i = 0; i < 500 && server.requests("/version.ini") == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    browser.load(page("/patcher/"));
    EXPECT_EQ(browser.window.timerStarts, 2);
    server.release();
    for (int i = 0; i < 500 && (patchRunning || PatchProgress.phase != Complete); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(!patchRunning && PatchProgress.phase == Complete) << "the run did not end";
    EXPECT_EQ(server.requests("/version.ini"), 1) << "the second load started no run";
    EXPECT_EQ(PatchProgress.overallProgress, 100) << "an up-to-date installation has nothing to do";

    browser.load(page("/patcher/"));
    EXPECT_EQ(browser.window.timerStarts, 2) << "a completed run starts neither timer nor run";
    EXPECT_EQ(server.requests("/version.ini"), 1);
}

TEST_F(BrowserHost, ClientPageSyncsAtMostOnceASecond) {
    const std::string settings = "/launcher_client/index.php?a=getgamesettings&token=c0ffee";
    const std::string account = "/launcher_client/index.php?a=getaccount&token=c0ffee";
    server.script(settings, {answer(200, R"({"windowmode":"true","autoconnect":"off",)"
                                         R"("update_lanlist":"off","use4gbvram":"off","runinbackground":"true"})")});
    server.script(account, {answer(200, R"({"MPAccountName":"Pilot","MPAccountNameSig":"5f3a"})")});

    browser.load(page("/launcher_client/index.php"));
    browser.load(page("/launcher_client/index.php"));
    EXPECT_EQ(server.requests(settings), 1);
    EXPECT_EQ(server.requests(account), 1);
    EXPECT_EQ(IniDocument::getValue(clientSettingsPath.get(), "Config", "WindowMode"), "true");
    EXPECT_EQ(IniDocument::getValue(clientSettingsPath.get(), "MPID", "MPAccountName"), "Pilot");

    lastClientSync -= 1'000'000'000;
    browser.load(page("/launcher_client/index.php"));
    EXPECT_EQ(server.requests(settings), 2);

    browser.load(page("/launcher_client/index.php?token=c0ffee"));
    EXPECT_EQ(server.requests(settings), 2) << "only the page without a query syncs";
}

// A completed load without a source keeps the last URL: the report page is filled again.
TEST_F(BrowserHost, ReportPageGetsTheManifestAndOtherPagesDoNothing) {
    writeFile(hashesPath.get(), "a = 1\n");
    browser.load(page("/patcher/report.html"));
    EXPECT_EQ(browser.view.posted,
              std::vector<std::u16string>{u"[{\"id\":1, \"path\":\"a\", \"hash\":\"1\"}]"});
    browser.view.shownUrl.reset();
    writeFile(hashesPath.get(), "b = 2\n");
    onNavigationCompleted();
    EXPECT_EQ(currentUrl, page("/patcher/report.html"));
    ASSERT_EQ(browser.view.posted.size(), 2u);
    EXPECT_EQ(browser.view.posted[1], u"[{\"id\":1, \"path\":\"b\", \"hash\":\"2\"}]");

    browser.load(u"about:blank");
    browser.load(page("/patcher"));
    EXPECT_EQ(browser.window.timerStarts, 0);
    EXPECT_EQ(browser.view.posted.size(), 2u);
}

// Only the web service's pages stay in the launcher's window, where the player has no address
// bar; other web pages go to the desktop's browser and anything else nowhere. Frames of a page
// may show other sites.
enum class Asked { Page, Frame, Window };

struct Navigation {
    Asked asked;
    const char16_t* url;
    bool goesOn;       // the browser may go on (a new window never does)
    const char* line;  // the log line; null for none
    bool opened;       // handed to the desktop's browser
};

const Navigation navigations[] = {
    {Asked::Page, u"http://127.0.0.1:47811/patcher", true, nullptr, false},
    {Asked::Page, u"http://127.0.0.1:47811/launcher_client/index.php?token=c0ffee", true, nullptr,
     false},
    {Asked::Page, u"http://127.0.0.1:47810/forum/", false,
     "Opening in the browser: http://127.0.0.1:47810/forum/", true},
    {Asked::Page, u"https://forum.example/t/1?a=b#c", false,
     "Opening in the browser: https://forum.example/t/1?a=b#c", true},
    {Asked::Page, u"https://127.0.0.1:47811/patcher/", false,
     "Opening in the browser: https://127.0.0.1:47811/patcher/", true},
    {Asked::Page, u"http://127.0.0.1.evil:47811/patcher/", false,
     "Opening in the browser: http://127.0.0.1.evil:47811/patcher/", true},
    {Asked::Page, u"file:///home/pilot/.ssh/id_ed25519", false,
     "Refused to open file:///home/pilot/.ssh/id_ed25519", false},
    {Asked::Page, u"javascript:alert(1)", false, "Refused to open javascript:alert(1)", false},
    {Asked::Page, u"about:blank", false, "Refused to open about:blank", false},
    {Asked::Page, u"data:text/html,<b>x</b>", false, "Refused to open data:text/html,<b>x</b>",
     false},
    {Asked::Page, u"mailto:pilot@example.org", false, "Refused to open mailto:pilot@example.org",
     false},
    // The shell gets only what a browser would have escaped.
    {Asked::Page, u"https://forum.example/\" -new-window", false,
     "Refused to open https://forum.example/\" -new-window", false},
    {Asked::Page, u"http:///patcher", false, "Refused to open http:///patcher", false},
    {Asked::Window, u"http://127.0.0.1:47811/patcher/report.html", false,
     "Opening in the browser: http://127.0.0.1:47811/patcher/report.html", true},
    {Asked::Window, u"https://forum.example/", false,
     "Opening in the browser: https://forum.example/", true},
    {Asked::Window, u"javascript:void(0)", false, "Refused to open javascript:void(0)", false},
    {Asked::Window, u"file:///C:/Windows/win.ini", false,
     "Refused to open file:///C:/Windows/win.ini", false},
    {Asked::Frame, u"https://video.example/embed/1", true, nullptr, false},
    {Asked::Frame, u"http://127.0.0.1:47811/patcher/", true, nullptr, false},
    {Asked::Frame, u"about:srcdoc", true, nullptr, false},
    {Asked::Frame, u"data:text/html,<b>x</b>", true, nullptr, false},
    {Asked::Frame, u"blob:http://127.0.0.1:47811/5f0c", true, nullptr, false},
    {Asked::Frame, u"file:///etc/passwd", false, "Refused to open file:///etc/passwd", false},
    {Asked::Frame, u"steam://run/1", false, "Refused to open steam://run/1", false},
};

std::vector<std::u16string> opened;

TEST_F(BrowserHost, OnlyTheWebServicesPagesStayInTheWindow) {
    overrideEndpoints("http://127.0.0.1:47810", "http://127.0.0.1:47811");
    browserOpener = [](const std::u16string& url) { opened.push_back(url); };
    for (const Navigation& row : navigations) {
        SCOPED_TRACE(toNarrow(row.url));
        opened.clear();
        const std::size_t lines = logMessages().size();

        bool goesOn = false;
        if (row.asked == Asked::Page) goesOn = onTopLevelNavigation(row.url);
        if (row.asked == Asked::Frame) goesOn = onFrameNavigation(row.url);
        if (row.asked == Asked::Window) onNewWindowRequested(row.url);

        std::vector<std::string> logged = logMessages();
        logged.erase(logged.begin(), logged.begin() + static_cast<std::ptrdiff_t>(lines));
        EXPECT_EQ(goesOn, row.goesOn);
        EXPECT_EQ(logged,
                  row.line ? std::vector<std::string>{row.line} : std::vector<std::string>{});
        EXPECT_EQ(opened, row.opened ? std::vector<std::u16string>{row.url}
                                     : std::vector<std::u16string>{});
    }
    browserOpener = nullptr;
    EXPECT_TRUE(browser.view.navigations.empty()) << "the launcher's own page stays";
}

}  // namespace
