// The launcher window as the start-up creates it, and its window procedure.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "launcher/window_layout.h"
#include "platform/win32/launcher_window.h"
#include "platform/win32/webview2_host.h"
#include "tests/support/fake_browser.h"
#include "tests/win32/message_pump.h"

namespace {

class LauncherWindow : public testing::Test {
protected:
    HWND window = nullptr;
    void SetUp() override {
        window = createLauncherWindow(GetModuleHandleW(nullptr));
        ASSERT_NE(window, nullptr);
    }
    void TearDown() override {
        if (IsWindow(window)) DestroyWindow(window);
        pumpPending();
        mainWindow = nullptr;
        webView = nullptr;
    }
};

TEST_F(LauncherWindow, IsAHiddenBorderlessPopupOfTheLauncherClass) {
    wchar_t text[64] = {};
    GetClassNameW(window, text, 64);
    EXPECT_STREQ(text, L"ORVLauncher");
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    ASSERT_TRUE(GetClassInfoExW(GetModuleHandleW(nullptr), L"ORVLauncher", &windowClass));
    EXPECT_EQ(windowClass.lpfnWndProc, &launcherWindowProc);
    EXPECT_EQ(windowClass.style, 0u);
    EXPECT_EQ(windowClass.hbrBackground, nullptr);

    EXPECT_EQ(static_cast<DWORD>(GetWindowLongW(window, GWL_STYLE)) & ~WS_CLIPSIBLINGS,
              static_cast<DWORD>(WS_POPUP));
    EXPECT_EQ(GetWindowLongW(window, GWL_EXSTYLE), 0);
    EXPECT_FALSE(IsWindowVisible(window));
    GetWindowTextW(window, text, 64);
    EXPECT_STREQ(text, L">ORV< Launcher");
    EXPECT_EQ(GetParent(window), nullptr);
}

TEST_F(LauncherWindow, Is904By504AtThePlaceComputedFor900By500) {
    const WindowRect expected =
        launcherWindowRect(GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN));
    RECT actual{};
    ASSERT_TRUE(GetWindowRect(window, &actual));
    EXPECT_EQ(actual.left, expected.left);
    EXPECT_EQ(actual.top, expected.top);
    EXPECT_EQ(actual.right - actual.left, 904);
    EXPECT_EQ(actual.bottom - actual.top, 504);
}

TEST_F(LauncherWindow, IsShapedByARoundedRegionOneBeyondItsSize) {
    const HRGN shape = CreateRectRgn(0, 0, 0, 0);
    ASSERT_NE(GetWindowRgn(window, shape), ERROR);
    const HRGN expected = CreateRoundRectRgn(0, 0, 905, 505, 10, 10);
    // Wine splits the same shape into other bands, so the shape is compared by its box and the
    // pixels that the rounding decides.
    RECT box{}, expectedBox{};
    GetRgnBox(shape, &box);
    GetRgnBox(expected, &expectedBox);
    const RECT windowBox{0, 0, 904, 504};
    EXPECT_TRUE(EqualRect(&box, &expectedBox));
    EXPECT_TRUE(EqualRect(&box, &windowBox));
    for (const POINT corner : {POINT{0, 0}, POINT{903, 0}, POINT{0, 503}, POINT{903, 503},
                               POINT{1, 1}, POINT{5, 5}, POINT{898, 498}})
        EXPECT_EQ(PtInRegion(shape, corner.x, corner.y), PtInRegion(expected, corner.x, corner.y))
            << corner.x << "," << corner.y;
    // The corners are cut off, the middle of each edge is not.
    EXPECT_FALSE(PtInRegion(shape, 0, 0));
    EXPECT_FALSE(PtInRegion(shape, 903, 503));
    EXPECT_TRUE(PtInRegion(shape, 452, 0));
    EXPECT_TRUE(PtInRegion(shape, 903, 252));
    DeleteObject(expected);
    DeleteObject(shape);
}

TEST_F(LauncherWindow, OnlyTimerOneIsSetAndOnlyItTicksTheProgress) {
    ASSERT_NE(mainWindow, nullptr);
    mainWindow->startProgressTimer();
    mainWindow->startProgressTimer();  // restarts the same timer
    EXPECT_TRUE(KillTimer(window, 1));
    EXPECT_FALSE(KillTimer(window, 1));

    FakeBrowser browser;
    EXPECT_EQ(SendMessageW(window, WM_TIMER, 2, 0), 0);
    EXPECT_TRUE(browser.view.posted.empty());
    EXPECT_EQ(SendMessageW(window, WM_TIMER, 1, 0), 0);
    EXPECT_EQ(browser.view.posted.size(), 2u);  // a tick always sends the two status texts
}

TEST_F(LauncherWindow, TheProgressTimerTicksThroughTheMessageLoop) {
    FakeBrowser browser;
    SetTimer(window, 1, 150, nullptr);
    EXPECT_TRUE(pumpUntil([&] { return browser.view.posted.size() >= 4; }, 3000));
    KillTimer(window, 1);
}

TEST_F(LauncherWindow, DestroyingItEndsTheMessageLoopWithStatusZero) {
    SetTimer(window, 1, 150, nullptr);
    DestroyWindow(window);
    MSG message;
    bool quit = false;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE))
        if (message.message == WM_QUIT) quit = message.wParam == 0;
    EXPECT_TRUE(quit);
    EXPECT_FALSE(IsWindow(window));
}

TEST_F(LauncherWindow, DestroyOfTheHostWindowDestroysIt) {
    mainWindow->destroy();
    EXPECT_FALSE(IsWindow(window));
}

TEST_F(LauncherWindow, SizeWithoutABrowserOnlyRepaints) {
    EXPECT_FALSE(webViewControllerExists());
    EXPECT_EQ(SendMessageW(window, WM_SIZE, SIZE_RESTORED, MAKELPARAM(904, 504)), 0);
    RECT pending{};
    EXPECT_FALSE(GetUpdateRect(window, &pending, FALSE));  // UpdateWindow painted at once
}

TEST_F(LauncherWindow, OtherMessagesGetTheSystemDefault) {
    EXPECT_EQ(SendMessageW(window, WM_GETTEXTLENGTH, 0, 0), 14);
    EXPECT_EQ(SendMessageW(window, WM_NCHITTEST, 0, MAKELPARAM(10000, 10000)), HTNOWHERE);
}

}  // namespace
