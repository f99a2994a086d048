// The host in a folder without WebView2Loader.dll: the window explains instead of staying empty.
#include <gtest/gtest.h>

#include <windows.h>

#include "shell/win32/launcher_window.h"
#include "shell/win32/webview2_host.h"
#include "tests/support/temp_dir.h"
#include "tests/win32/message_pump.h"
#include "web/browser_view.h"

namespace {

TEST(NoWebView2Loader, MissingLoaderIsLoggedAndExplainedInTheWindow) {
    if (const HMODULE present = LoadLibraryW(L"WebView2Loader.dll")) {
        FreeLibrary(present);
        GTEST_SKIP() << "a WebView2Loader.dll is on this system's search path";
    }
    TempDir folder;
    useUserFolder(folder);
    const HWND window = createLauncherWindow(GetModuleHandleW(nullptr));
    const DWORD error = GetLastError();
    ASSERT_NE(window, nullptr) << "CreateWindowExW failed, error " << error;
    createWebView(window);
    pumpPending();

    EXPECT_FALSE(webViewControllerExists());
    const auto log = logMessages();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0], "Create WebView");
    EXPECT_EQ(log[1].rfind("Failed to load WebView2Loader.dll - Error ", 0), 0u) << log[1];
    EXPECT_NE(webViewFailureText().find(L"WebView2Loader.dll is missing"), std::wstring::npos);
    EXPECT_NE(webViewFailureText().find(L"setup"), std::wstring::npos);
    DestroyWindow(window);
    pumpPending();
    mainWindow = nullptr;
}

}  // namespace
