// The WebView2 host against the stand-in WebView2Loader.dll beside this program: the COM
// plumbing from loader to page messages, and what the window shows when the browser cannot be
// made.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <string>

#include "core/text.h"
#include "core/user_paths.h"
#include "net/endpoints.h"
#include "platform/win32/launcher_window.h"
#include "platform/win32/webview2_host.h"
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

bool contains(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
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

    void SetUp() override {
        ASSERT_TRUE(reset && record && setSource && completeNavigation && receiveMessage)
            << "the stand-in WebView2Loader.dll is not beside the test program";
        useUserFolder(folder);
        window = createLauncherWindow(GetModuleHandleW(nullptr));
        ASSERT_NE(window, nullptr);
    }
    void TearDown() override {
        releaseWebView();
        if (IsWindow(window)) DestroyWindow(window);
        pumpPending();
        mainWindow = nullptr;
        webView = nullptr;
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
    RECT insetClient() const {
        RECT client{};
        GetClientRect(window, &client);
        return RECT{client.left + 2, client.top + 2, client.right - 2, client.bottom - 2};
    }
};

bool sameRect(const RECT& a, const RECT& b) {
    return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}

TEST_F(WebView2Host, ReadyBrowserGetsBoundsTwiceThePatcherPageAndBothHandlersInOrder) {
    create();
    // Environment, controller, view; bounds, patcher page, message handler, bounds again, and
    // the navigation handler last.
    EXPECT_EQ(events(), "EPVBNMBC");
    EXPECT_EQ(record()->environmentRequests, 1);
    EXPECT_TRUE(record()->environmentArgumentsNull);
    EXPECT_EQ(record()->controllerParent, window);
    ASSERT_EQ(record()->boundsCount, 2);
    EXPECT_TRUE(sameRect(record()->bounds[0], RECT{2, 2, 902, 502}));
    EXPECT_TRUE(sameRect(record()->bounds[1], RECT{2, 2, 902, 502}));
    ASSERT_EQ(record()->navigationCount, 1);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(record()->navigations[0])),
              toWide(webServiceUrl + "/patcher"));
    EXPECT_NE(webView, nullptr);
    EXPECT_TRUE(webViewFailureText().empty());
    const auto log = logMessages();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.front(), "Create WebView");
}

TEST_F(WebView2Host, SizeGivesTheControllerTheClientAreaLessTheRim) {
    create();
    const int before = record()->boundsCount;
    SendMessageW(window, WM_SIZE, SIZE_RESTORED, MAKELPARAM(904, 504));
    ASSERT_EQ(record()->boundsCount, before + 1);
    EXPECT_TRUE(sameRect(record()->bounds[before], insetClient()));

    SetWindowPos(window, nullptr, 0, 0, 600, 400, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    ASSERT_GT(record()->boundsCount, before + 1);
    EXPECT_TRUE(sameRect(record()->bounds[record()->boundsCount - 1], RECT{2, 2, 598, 398}));
}

TEST_F(WebView2Host, CompletedNavigationReachesTheLogicAndTheSourceTextIsFreed) {
    create();
    setSource(L"http://127.0.0.1:1/some/page");
    ASSERT_TRUE(completeNavigation());
    EXPECT_EQ(currentUrl, u"http://127.0.0.1:1/some/page");
    EXPECT_EQ(record()->stringsHandedOut, 1);
    EXPECT_EQ(record()->stringsFreed, 1);
}

TEST_F(WebView2Host, ReportPageLoadPostsItsDataToThePage) {
    writeFile(hashesPath.get(), "Astrovance\\EXE\\Astrovance.exe = 352441c2\n");
    create();
    setSource(reinterpret_cast<const wchar_t*>(reportPageUrl().c_str()));
    ASSERT_TRUE(completeNavigation());
    EXPECT_EQ(currentUrl, reportPageUrl());
    EXPECT_EQ(record()->posted, 1);
}

TEST_F(WebView2Host, PageMessageReachesTheLogicAndItsTextIsFreed) {
    create();
    const int page = reportPage;
    ASSERT_TRUE(receiveMessage(L"loadMore"));
    EXPECT_EQ(reportPage, page + 1);
    EXPECT_EQ(record()->reloads, 1);
    EXPECT_EQ(record()->stringsHandedOut, 1);
    EXPECT_EQ(record()->stringsFreed, 1);
}

TEST_F(WebView2Host, MessageThatIsNoStringIsIgnored) {
    create();
    const int page = reportPage;
    ASSERT_TRUE(receiveMessage(nullptr));
    EXPECT_NE(events().find('T'), std::string::npos);
    EXPECT_EQ(reportPage, page);
    EXPECT_EQ(record()->reloads, 0);
    EXPECT_EQ(record()->stringsHandedOut, 0);
}

TEST_F(WebView2Host, MissingRuntimeIsLoggedAndExplainedInTheWindow) {
    DoubleScript script;
    script.environmentResult = HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    create(script);
    EXPECT_EQ(events(), "E");
    EXPECT_FALSE(webViewControllerExists());
    EXPECT_TRUE(contains(logMessages(), "WebView2 Runtime not found - HRESULT 0x80070002"));
    EXPECT_NE(webViewFailureText().find(L"WebView2 Runtime is not installed"), std::wstring::npos);
    EXPECT_NE(webViewFailureText().find(L"setup"), std::wstring::npos);
}

TEST_F(WebView2Host, LoaderRefusingToStartIsReportedOnce) {
    DoubleScript script;
    script.createResult = E_FAIL;
    create(script);
    const auto log = logMessages();
    EXPECT_EQ(std::count(log.begin(), log.end(),
                         "Failed to create WebView2 environment - HRESULT 0x80004005"),
              1);
    EXPECT_NE(webViewFailureText().find(L"0x80004005"), std::wstring::npos);
}

TEST_F(WebView2Host, FailedControllerLeavesNoBrowserAndSaysSo) {
    DoubleScript script;
    script.controllerResult = E_ACCESSDENIED;
    create(script);
    EXPECT_EQ(events(), "EP");
    EXPECT_FALSE(webViewControllerExists());
    EXPECT_EQ(record()->navigationCount, 0);
    EXPECT_TRUE(contains(logMessages(), "Failed to create WebView2 controller - HRESULT 0x80070005"));
    EXPECT_NE(webViewFailureText().find(L"could not be started"), std::wstring::npos);
}

// Callbacks that report success without an object, and a refused request: never used, logged.
TEST_F(WebView2Host, MissingObjectsAndRefusedRequestsLeaveNoBrowserAndSaySo) {
    struct Case {
        void (*arrange)(DoubleScript&);
        const char* line;
    };
    const Case cases[] = {
        {[](DoubleScript& s) { s.environmentMissing = true; },
         "Failed to create WebView2 environment - HRESULT 0x80004003"},
        {[](DoubleScript& s) { s.controllerMissing = true; },
         "Failed to create WebView2 controller - HRESULT 0x80004003"},
        {[](DoubleScript& s) { s.controllerCallResult = E_OUTOFMEMORY; },
         "Failed to create WebView2 controller - HRESULT 0x8007000E"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        TearDown();
        SetUp();
        DoubleScript script;
        c.arrange(script);
        create(script);
        EXPECT_FALSE(webViewControllerExists());
        EXPECT_TRUE(contains(logMessages(), c.line));
        EXPECT_FALSE(webViewFailureText().empty());
    }
}

TEST_F(WebView2Host, NoticePaintsAndAClickClosesTheWindow) {
    DoubleScript script;
    script.environmentResult = HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    create(script);
    ShowWindow(window, SW_SHOWNA);
    UpdateWindow(window);
    RECT pending{};
    EXPECT_FALSE(GetUpdateRect(window, &pending, FALSE));
    EXPECT_NE(webViewFailureText().find(L"Click here to close"), std::wstring::npos);
    SendMessageW(window, WM_LBUTTONUP, 0, MAKELPARAM(450, 250));
    EXPECT_FALSE(IsWindow(window));
}

TEST_F(WebView2Host, ClickWithAWorkingBrowserDoesNotClose) {
    create();
    SendMessageW(window, WM_LBUTTONUP, 0, MAKELPARAM(450, 250));
    SendMessageW(window, WM_KEYDOWN, VK_ESCAPE, 0);
    EXPECT_TRUE(IsWindow(window));
}

}  // namespace
