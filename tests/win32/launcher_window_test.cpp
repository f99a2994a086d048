// The launcher window as the start-up creates it, and its window procedure.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "launcher/window_layout.h"
#include "shell/win32/launcher_window.h"
#include "shell/win32/webview2_host.h"
#include "tests/support/fake_browser.h"
#include "tests/win32/message_pump.h"

namespace {

class LauncherWindow : public testing::Test {
protected:
    HWND window = nullptr;
    void SetUp() override {
        window = createLauncherWindow(GetModuleHandleW(nullptr));
        const DWORD error = GetLastError();
        ASSERT_NE(window, nullptr) << "CreateWindowExW failed, error " << error;
    }
    void TearDown() override {
        if (IsWindow(window)) DestroyWindow(window);
        pumpPending();
        mainWindow = nullptr;
        webView = nullptr;
    }
};

TEST_F(LauncherWindow, IsAHidden904By504BorderlessPopupWithRoundedCorners) {
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

    // Placed as computed for the 900 x 500 design, with the rim around it.
    const WindowRect expected =
        launcherWindowRect(GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN));
    RECT actual{};
    ASSERT_TRUE(GetWindowRect(window, &actual));
    EXPECT_EQ(actual.left, expected.left);
    EXPECT_EQ(actual.top, expected.top);
    EXPECT_EQ(actual.right - actual.left, 904);
    EXPECT_EQ(actual.bottom - actual.top, 504);

    // The region reaches one pixel beyond the size, so the last row and column stay. Wine splits
    // the same shape into other bands, so it is compared by its box and the pixels that the
    // rounding decides.
    const HRGN shape = CreateRectRgn(0, 0, 0, 0);
    ASSERT_NE(GetWindowRgn(window, shape), ERROR);
    const HRGN rounded = CreateRoundRectRgn(0, 0, 905, 505, 10, 10);
    RECT box{};
    GetRgnBox(shape, &box);
    const RECT windowBox{0, 0, 904, 504};
    EXPECT_TRUE(EqualRect(&box, &windowBox));
    for (const POINT point :
         {POINT{0, 0}, POINT{903, 0}, POINT{0, 503}, POINT{903, 503}, POINT{1, 1}, POINT{5, 5},
          POINT{898, 498}, POINT{452, 0}, POINT{903, 252}})
        EXPECT_EQ(PtInRegion(shape, point.x, point.y), PtInRegion(rounded, point.x, point.y))
            << point.x << "," << point.y;
    DeleteObject(rounded);
    DeleteObject(shape);
}

TEST_F(LauncherWindow, TimerOneTicksTheProgressAndDestroyEndsTheMessageLoop) {
    HostWindow* const host = mainWindow;
    ASSERT_NE(host, nullptr);
    host->startProgressTimer();
    host->startProgressTimer();  // restarts the same timer
    EXPECT_TRUE(KillTimer(window, 1));
    EXPECT_FALSE(KillTimer(window, 1));

    FakeBrowser browser;
    EXPECT_EQ(SendMessageW(window, WM_TIMER, 2, 0), 0);
    EXPECT_TRUE(browser.view.posted.empty());
    EXPECT_EQ(SendMessageW(window, WM_TIMER, 1, 0), 0);
    EXPECT_EQ(browser.view.posted.size(), 2u);  // a tick always sends the two status texts
    host->startProgressTimer();
    EXPECT_TRUE(pumpUntil([&] { return browser.view.posted.size() >= 6; }, 3000));

    // Without a browser a new size only repaints, at once.
    EXPECT_FALSE(webViewControllerExists());
    EXPECT_EQ(SendMessageW(window, WM_SIZE, SIZE_RESTORED, MAKELPARAM(904, 504)), 0);
    RECT pending{};
    EXPECT_FALSE(GetUpdateRect(window, &pending, FALSE));

    host->destroy();
    EXPECT_FALSE(IsWindow(window));
    MSG message;
    bool quit = false;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE))
        if (message.message == WM_QUIT) quit = message.wParam == 0;
    EXPECT_TRUE(quit);
}

}  // namespace
