#include "shell/win32/launcher_window.h"

#include "core/log.h"
#include "launcher/progress_pump.h"
#include "launcher/window_layout.h"
#include "shell/win32/webview2_host.h"
#include "web/browser_view.h"

namespace {

constexpr UINT_PTR progressTimer = 1;
constexpr UINT progressPeriodMilliseconds = 150;

class Win32HostWindow : public HostWindow {
public:
    HWND window = nullptr;
    void startProgressTimer() override {
        SetTimer(window, progressTimer, progressPeriodMilliseconds, nullptr);
    }
    void destroy() override { DestroyWindow(window); }
};

Win32HostWindow hostWindow;

// The rim: a 5-pixel pen along the client rectangle with round corners; only its outer two
// pixels show beside the browser.
void paintFrame(HWND window, HDC dc) {
    RECT client{};
    GetClientRect(window, &client);
    const HPEN pen = CreatePen(PS_SOLID, rimPenWidth, RGB(rimRed, rimGreen, rimBlue));
    const HGDIOBJ oldPen = SelectObject(dc, pen);
    const HGDIOBJ oldBrush = SelectObject(dc, GetStockObject(NULL_BRUSH));
    RoundRect(dc, client.left, client.top, client.right, client.bottom, rimCornerDiameter,
              rimCornerDiameter);
    SelectObject(dc, oldBrush);
    SelectObject(dc, oldPen);
    DeleteObject(pen);
}

// Without a browser the window would stay an empty frame: it says why instead.
void paintFailure(HWND window, HDC dc, const std::wstring& text) {
    RECT client{};
    GetClientRect(window, &client);
    FillRect(dc, &client, GetSysColorBrush(COLOR_WINDOW));
    const HFONT font = CreateFontW(-20, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                                   OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY,
                                   DEFAULT_PITCH | FF_SWISS, L"Segoe UI");
    const HGDIOBJ oldFont = SelectObject(dc, font);
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
    RECT box{client.left + 60, client.top + 40, client.right - 60, client.bottom - 40};
    RECT measured = box;
    const UINT format = DT_CENTER | DT_WORDBREAK | DT_NOPREFIX;
    const int height = DrawTextW(dc, text.c_str(), -1, &measured, format | DT_CALCRECT);
    if (height < box.bottom - box.top) box.top += (box.bottom - box.top - height) / 2;
    DrawTextW(dc, text.c_str(), -1, &box, format);
    SelectObject(dc, oldFont);
    DeleteObject(font);
}

void paint(HWND window) {
    PAINTSTRUCT paint{};
    const HDC dc = BeginPaint(window, &paint);
    const std::wstring& failure = webViewFailureText();
    if (!failure.empty()) paintFailure(window, dc, failure);
    paintFrame(window, dc);
    EndPaint(window, &paint);
}

}  // namespace

LRESULT CALLBACK launcherWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_DESTROY:
            KillTimer(window, progressTimer);
            PostQuitMessage(0);
            return 0;
        case WM_SIZE:
            resizeWebView(window);
            InvalidateRect(window, nullptr, TRUE);
            UpdateWindow(window);
            return 0;
        case WM_PAINT:
            paint(window);
            return 0;
        case WM_TIMER:
            if (wParam == progressTimer) progressTick();
            return 0;
        case WM_LBUTTONUP:
        case WM_KEYDOWN:
            // Only a page can close the launcher; without one, the notice offers the way out.
            if (!webViewFailureText().empty() &&
                (message == WM_LBUTTONUP || wParam == VK_ESCAPE || wParam == VK_RETURN)) {
                DestroyWindow(window);
                return 0;
            }
            break;
        default:
            break;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

HWND createLauncherWindow(HINSTANCE instance) {
    WNDCLASSW windowClass{};
    windowClass.style = 0;
    windowClass.lpfnWndProc = launcherWindowProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = L"ORVLauncher";
    RegisterClassW(&windowClass);

    const WindowRect place =
        launcherWindowRect(GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN));
    const HWND window =
        CreateWindowExW(0, L"ORVLauncher", L">ORV< Launcher", WS_POPUP, place.left, place.top,
                        windowWidth, windowHeight, nullptr, nullptr, instance, nullptr);
    if (!window) return nullptr;
    hostWindow.window = window;
    mainWindow = &hostWindow;

    // One pixel beyond the window on the right and bottom, as the region's right and bottom edges
    // are exclusive. The system owns the region from here on.
    SetWindowRgn(window,
                 CreateRoundRectRgn(0, 0, windowWidth + 1, windowHeight + 1, windowCornerDiameter,
                                    windowCornerDiameter),
                 TRUE);
    return window;
}

int runLauncherWindow(HINSTANCE instance, int showCommand) {
    const HWND window = createLauncherWindow(instance);
    if (!window) {
        logLine("Failed to create Window");
        return 0;
    }
    ShowWindow(window, showCommand);
    createWebView(window);

    MSG message;
    // GetMessageW gives -1 on a broken queue; that ends the loop too instead of spinning.
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    releaseWebView();
    mainWindow = nullptr;
    return 0;
}
