// The WebView2 host against the stand-in WebView2Loader.dll beside this program: the COM
// plumbing from loader to page messages, and what the window shows when the browser cannot be
// made.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "core/text.h"
#include "core/user_paths.h"
#include "net/endpoints.h"
#include "shell/win32/launcher_window.h"
#include "shell/win32/webview2_host.h"
#include "tests/support/temp_dir.h"
#include "tests/win32/message_pump.h"
#include "tests/win32/webview2_double.h"
#include "web/browser_host.h"
#include "web/browser_view.h"
#include "web/page_messages.h"

namespace {

template <typename Function>
Function doubleFunction(const char* name) {
    const HMODULE loader = LoadLibraryW(L"WebView2Loader.dll");
    return loader ? reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(loader, name)))
                  : nullptr;
}

class WebView2Host : public testing::Test {
protected:
    TempDir folder;
    HWND window = nullptr;
    DoubleResetFunction reset = doubleFunction<DoubleResetFunction>("doubleReset");
    DoubleRecordFunction record = doubleFunction<DoubleRecordFunction>("doubleRecord");
    DoubleSetSourceFunction setSource = doubleFunction<DoubleSetSourceFunction>("doubleSetSource");
    DoubleCompleteNavigationFunction completeNavigation =
        doubleFunction<DoubleCompleteNavigationFunction>("doubleCompleteNavigation");
    DoubleReceiveMessageFunction receiveMessage =
        doubleFunction<DoubleReceiveMessageFunction>("doubleReceiveMessage");
    DoubleStartNavigationFunction startNavigation =
        doubleFunction<DoubleStartNavigationFunction>("doubleStartNavigation");
    DoubleRequestNewWindowFunction requestNewWindow =
        doubleFunction<DoubleRequestNewWindowFunction>("doubleRequestNewWindow");

    void SetUp() override {
        ASSERT_TRUE(reset && record && setSource && completeNavigation && receiveMessage &&
                    startNavigation && requestNewWindow)
            << "the stand-in WebView2Loader.dll is not beside the test program";
        useUserFolder(folder);
        window = createLauncherWindow(GetModuleHandleW(nullptr));
        const DWORD error = GetLastError();
        ASSERT_NE(window, nullptr) << "CreateWindowExW failed, error " << error;
    }
    void TearDown() override {
        releaseWebView();
        if (IsWindow(window)) DestroyWindow(window);
        pumpPending();
        mainWindow = nullptr;
        webView = nullptr;
        browserOpener = nullptr;
        currentUrl.clear();
    }

    // Creates the browser as the double is told to and waits for the creation to settle.
    void create(const DoubleScript& script = {}) {
        reset(&script);
        createWebView(window);
        pumpUntil([&] {
            return !webViewFailureText().empty() ||
                   (webViewControllerExists() && events().find('C') != std::string::npos);
        }, 2000);
        pumpPending();
    }
    std::string events() const { return std::string(record()->events, record()->eventCount); }
};

TEST_F(WebView2Host, ReadyBrowserGetsTheClientAreaThePatcherPageAndBothHandlersInOrder) {
    create();
    // Environment, controller, view; bounds, the navigation-starting and new-window handlers
    // before the patcher page, message handler, bounds again, and the navigation handler last.
    EXPECT_EQ(events(), "EPVBSWNMBC");
    EXPECT_TRUE(record()->environmentArgumentsNull);
    EXPECT_EQ(record()->controllerParent, window);
    const RECT client{2, 2, 902, 502};
    ASSERT_EQ(record()->boundsCount, 2);
    EXPECT_TRUE(EqualRect(&record()->bounds[0], &client));
    EXPECT_TRUE(EqualRect(&record()->bounds[1], &client));
    ASSERT_EQ(record()->navigationCount, 1);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(record()->navigations[0])),
              toWide(webServiceUrl + "/patcher"));
    EXPECT_EQ(logMessages(), std::vector<std::string>{"Create WebView"});  // and no failure

    // A new size gives the browser the new client area less the rim.
    SetWindowPos(window, nullptr, 0, 0, 600, 400, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    const RECT smaller{2, 2, 598, 398};
    ASSERT_GT(record()->boundsCount, 2);
    EXPECT_TRUE(EqualRect(&record()->bounds[record()->boundsCount - 1], &smaller));

    // Only the page closes a window that has one.
    SendMessageW(window, WM_LBUTTONUP, 0, MAKELPARAM(450, 250));
    SendMessageW(window, WM_KEYDOWN, VK_ESCAPE, 0);
    EXPECT_TRUE(IsWindow(window));
}

// Each text the runtime hands out is freed once read.
TEST_F(WebView2Host, LoadedPagesAndPageMessagesReachTheLogic) {
    writeFile(hashesPath.get(), "Astrovance\\EXE\\Astrovance.exe = 352441c2\n");
    create();
    EXPECT_EQ(record()->posted, 0);
    setSource(reinterpret_cast<const wchar_t*>(reportPageUrl().c_str()));
    ASSERT_TRUE(completeNavigation());
    EXPECT_EQ(currentUrl, reportPageUrl());
    EXPECT_EQ(record()->posted, 1);  // the report page gets its data
    EXPECT_EQ(record()->stringsHandedOut, 1);
    EXPECT_EQ(record()->stringsFreed, 1);

    // A message that is no string is ignored.
    const std::u16string reportPageText = reportPageUrl();
    const wchar_t* servicePage = reinterpret_cast<const wchar_t*>(reportPageText.c_str());
    const int page = reportPage;
    ASSERT_TRUE(receiveMessage(servicePage, nullptr));
    EXPECT_NE(events().find('T'), std::string::npos);
    EXPECT_EQ(reportPage, page);
    EXPECT_EQ(record()->reloads, 0);
    EXPECT_EQ(record()->stringsHandedOut, 2);  // and the sender's URL

    ASSERT_TRUE(receiveMessage(servicePage, L"loadMore"));
    EXPECT_EQ(reportPage, page + 1);
    EXPECT_EQ(record()->reloads, 1);

    // The same command from another site, or from a sender the runtime cannot name, does nothing.
    ASSERT_TRUE(receiveMessage(L"http://127.0.0.1.evil/", L"loadMore"));
    ASSERT_TRUE(receiveMessage(nullptr, L"loadMore"));
    EXPECT_EQ(reportPage, page + 1);
    EXPECT_EQ(record()->reloads, 1);
    EXPECT_EQ(logMessages(), (std::vector<std::string>{
                                 "Create WebView",
                                 "Page message from http://127.0.0.1.evil ignored: loadMore",
                                 "Page message from an unknown page ignored: loadMore"}));
    EXPECT_EQ(record()->stringsHandedOut, 7);
    EXPECT_EQ(record()->stringsFreed, 7);
}

// The host asks the logic about every navigation and new window and puts the answer into the
// event's arguments, so the runtime itself leaves out what the launcher does not show.
struct Request {
    bool newWindow;
    const wchar_t* uri;
    int refused;  // 1: cancelled or handled without a window
    bool opened;  // handed to the desktop's browser
};

const Request requests[] = {
    {false, L"http://127.0.0.1:47811/patcher/", 0, false},
    {false, L"https://forum.example/", 1, true},
    {false, L"file:///C:/Windows/win.ini", 1, false},
    {true, L"https://forum.example/", 1, true},
    {true, L"http://127.0.0.1:47811/patcher/report.html", 1, true},
    {true, L"javascript:alert(1)", 1, false},
};

std::vector<std::u16string> opened;

TEST_F(WebView2Host, NavigationsAndNewWindowsFollowTheLogic) {
    overrideEndpoints("http://127.0.0.1:47810", "http://127.0.0.1:47811");
    create();
    browserOpener = [](const std::u16string& url) { opened.push_back(url); };
    for (const Request& row : requests) {
        const std::u16string uri(reinterpret_cast<const char16_t*>(row.uri));
        SCOPED_TRACE(toNarrow(uri));
        opened.clear();
        const int refused = row.newWindow ? requestNewWindow(row.uri) : startNavigation(row.uri);
        EXPECT_EQ(refused, row.refused);
        EXPECT_EQ(opened, row.opened ? std::vector<std::u16string>{uri}
                                     : std::vector<std::u16string>{});
    }
    EXPECT_EQ(record()->navigationCount, 1) << "only the launcher's own first page";
    EXPECT_EQ(record()->stringsHandedOut, 6);
    EXPECT_EQ(record()->stringsFreed, 6);
}

// Every way the browser can fail to come is logged once, leaves no browser and puts a notice in
// the window that closes it on a click, Escape or Return.
struct Failure {
    const char* name;
    DoubleScript script;
    const char* events;
    const char* line;
    const wchar_t* shown;
    UINT closeMessage;
    WPARAM closeKey;
    bool namesDataFolder = false;  // instead of sending the player to the setup
};

const Failure failures[] = {
    {"runtimeMissing", {.environmentResult = HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)}, "E",
     "WebView2 Runtime not found - HRESULT 0x80070002", L"WebView2 Runtime is not installed",
     WM_LBUTTONUP, 0},
    {"environmentRefused", {.createResult = E_FAIL}, "E",
     "Failed to create WebView2 environment - HRESULT 0x80004005",
     L"could not be started, error 0x80004005", WM_KEYDOWN, VK_ESCAPE},
    {"environmentMissing", {.environmentMissing = true}, "E",
     "Failed to create WebView2 environment - HRESULT 0x80004003",
     L"could not be started, error 0x80004003", WM_KEYDOWN, VK_RETURN},
    {"controllerFailed", {.controllerResult = HRESULT_FROM_WIN32(ERROR_INVALID_STATE)}, "EP",
     "Failed to create WebView2 controller - HRESULT 0x8007139F",
     L"could not be started, error 0x8007139F", WM_LBUTTONUP, 0},
    {"controllerMissing", {.controllerMissing = true}, "EP",
     "Failed to create WebView2 controller - HRESULT 0x80004003",
     L"could not be started, error 0x80004003", WM_LBUTTONUP, 0},
    {"controllerRefused", {.controllerCallResult = E_OUTOFMEMORY}, "EP",
     "Failed to create WebView2 controller - HRESULT 0x8007000E",
     L"could not be started, error 0x8007000E", WM_LBUTTONUP, 0},
    {"dataFolderNotWritable", {.createResult = E_ACCESSDENIED}, "E",
     "Failed to create WebView2 environment - HRESULT 0x80070005",
     L"writing there is not allowed (error 0x80070005)", WM_LBUTTONUP, 0, true},
    {"dataFolderNotWritableLater", {.environmentResult = E_ACCESSDENIED}, "E",
     "Failed to create WebView2 environment - HRESULT 0x80070005",
     L"writing there is not allowed (error 0x80070005)", WM_KEYDOWN, VK_ESCAPE, true},
    {"dataFolderNotWritableForController", {.controllerResult = E_ACCESSDENIED}, "EP",
     "Failed to create WebView2 controller - HRESULT 0x80070005",
     L"writing there is not allowed (error 0x80070005)", WM_LBUTTONUP, 0, true},
    {"dataFolderIsAFile", {.environmentResult = HRESULT_FROM_WIN32(ERROR_FILE_EXISTS)}, "E",
     "Failed to create WebView2 environment - HRESULT 0x80070050",
     L"a file of that name is in the way (error 0x80070050)", WM_KEYDOWN, VK_RETURN, true},
};

class WebView2Failure : public WebView2Host, public testing::WithParamInterface<Failure> {};

TEST_P(WebView2Failure, IsLoggedOnceAndExplainedByAClosableNotice) {
    const Failure& failure = GetParam();
    create(failure.script);
    EXPECT_EQ(events(), failure.events);
    EXPECT_FALSE(webViewControllerExists());
    EXPECT_EQ(record()->navigationCount, 0);
    EXPECT_EQ(logMessages(), (std::vector<std::string>{"Create WebView", failure.line}));
    const std::wstring& notice = webViewFailureText();
    EXPECT_NE(notice.find(failure.shown), std::wstring::npos);
    wchar_t program[MAX_PATH] = {};
    ASSERT_GT(GetModuleFileNameW(nullptr, program, MAX_PATH), 0u);
    const std::wstring dataFolder = std::wstring(program) + L".WebView2";
    EXPECT_EQ(notice.find(dataFolder) != std::wstring::npos, failure.namesDataFolder);
    EXPECT_EQ(notice.find(L"please run the setup again") == std::wstring::npos,
              failure.namesDataFolder);
    EXPECT_NE(notice.find(L"Click here to close this window."), std::wstring::npos);

    ShowWindow(window, SW_SHOWNA);
    UpdateWindow(window);
    RECT pending{};
    EXPECT_FALSE(GetUpdateRect(window, &pending, FALSE)) << "the notice is painted";
    SendMessageW(window, WM_KEYDOWN, 'A', 0);
    EXPECT_TRUE(IsWindow(window)) << "any other key leaves the window open";
    SendMessageW(window, failure.closeMessage, failure.closeKey, MAKELPARAM(450, 250));
    EXPECT_FALSE(IsWindow(window));
}

INSTANTIATE_TEST_SUITE_P(Ways, WebView2Failure, testing::ValuesIn(failures),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
