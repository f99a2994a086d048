// The launcher window and its WebView2 host. The host meets a fake runtime through the stand-in
// WebView2Loader.dll beside this program: the COM plumbing from loader to page messages, and
// what the window shows when the browser cannot be made.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/text.h"
#include "core/user_paths.h"
#include "launcher/window_layout.h"
#include "net/endpoints.h"
#include "shell/win32/com_ref.h"
#include "shell/win32/launcher_window.h"
#include "shell/win32/webview2_abi.h"
#include "shell/win32/webview2_host.h"
#include "tests/support/fake_browser.h"
#include "tests/support/temp_dir.h"
#include "web/browser_host.h"
#include "web/page_messages.h"

namespace {

// --- the fake runtime: one environment, controller and view, never freed ---

struct Script {
    HRESULT create = S_OK, environment = S_OK;         // the environment's call and its handler
    HRESULT controllerCall = S_OK, controller = S_OK;  // the controller's
} script;

// The launcher's calls in order: E environment asked for (e: with a folder or options), P
// controller asked for, V view fetched, B[bounds] set, N[url] navigate, R reload, O message
// posted, and the handlers added: S navigation starting, W new window, M message, C completed.
std::string events;
const wchar_t* uri;          // the page shown, or the sender or target of the event raised
const wchar_t* messageText;  // the text of the message raised
BOOL refused;                // the Cancel or Handled the launcher put into a request

HRESULT note(char letter, const std::string& detail = {}) {
    events += letter + (detail.empty() ? detail : "[" + detail + "]");
    return S_OK;
}

HRESULT handOut(const wchar_t* text, LPWSTR* out, HRESULT none = E_FAIL) {
    *out = nullptr;
    if (!text) return none;
    const std::size_t bytes = (std::wcslen(text) + 1) * sizeof(wchar_t);
    *out = static_cast<LPWSTR>(std::memcpy(CoTaskMemAlloc(bytes), text, bytes));
    return S_OK;
}

// The handler of each kind the launcher handed over last.
template <typename Handler>
ComRef<Handler> held;

template <typename Handler>
void keep(Handler* handler) {
    held<Handler> = ComRef<Handler>::share(handler);
}

// Calls the held handler of that kind; false when the launcher handed over none.
template <typename Handler, typename... Args>
bool raise(Args... args) {
    Handler* const handler = held<Handler>.get();
    if (handler) handler->lpVtbl->Invoke(handler, args...);
    return handler;
}

// A creation's result, once; S_FALSE is success without the object.
template <typename Handler, typename Result>
void deliver(HRESULT result, Result* object) {
    raise<Handler>(result, result == S_FALSE ? nullptr : object);
    held<Handler>.reset();
}

template <typename Interface>
ULONG STDMETHODCALLTYPE one(Interface*) {
    return 1;
}

// The slots the fake leaves out stay null: the launcher calling one crashes the test at once.
template <typename Vtbl, typename Fill>
Vtbl vtable(Fill fill) {
    Vtbl table{};
    table.AddRef = table.Release = one;
    fill(table);
    return table;
}

template <char letter, typename Handler>
HRESULT STDMETHODCALLTYPE add(ICoreWebView2*, Handler* handler, EventRegistrationToken*) {
    keep(handler);
    return note(letter);
}
template <typename Interface>
HRESULT STDMETHODCALLTYPE getUri(Interface*, LPWSTR* out) {
    return handOut(uri, out);
}
template <typename Args>
HRESULT STDMETHODCALLTYPE refuse(Args*, BOOL value) {
    refused = value;
    return S_OK;
}

const auto viewVtbl = vtable<ICoreWebView2Vtbl>([](auto& t) {
    t.get_Source = getUri;
    t.Navigate = [](ICoreWebView2*, LPCWSTR url) STDMETHODCALLTYPE {
        return note('N', toNarrow(reinterpret_cast<const char16_t*>(url)));
    };
    t.Reload = [](ICoreWebView2*) STDMETHODCALLTYPE { return note('R'); };
    t.PostWebMessageAsString = [](ICoreWebView2*, LPCWSTR) STDMETHODCALLTYPE { return note('O'); };
    t.add_NavigationStarting = add<'S'>;
    t.add_NavigationCompleted = add<'C'>;
    t.add_WebMessageReceived = add<'M'>;
    t.add_NewWindowRequested = add<'W'>;
});
ICoreWebView2 view{&viewVtbl};

const auto controllerVtbl = vtable<ICoreWebView2ControllerVtbl>([](auto& t) {
    t.put_Bounds = [](ICoreWebView2Controller*, RECT r) STDMETHODCALLTYPE {
        return note('B', std::to_string(r.left) + " " + std::to_string(r.top) + " " +
                             std::to_string(r.right) + " " + std::to_string(r.bottom));
    };
    t.get_CoreWebView2 = [](ICoreWebView2Controller*, ICoreWebView2** result) STDMETHODCALLTYPE {
        *result = &view;
        return note('V');
    };
});
ICoreWebView2Controller controller{&controllerVtbl};

using EnvironmentDone = ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler;
using ControllerDone = ICoreWebView2CreateCoreWebView2ControllerCompletedHandler;

const auto environmentVtbl = vtable<ICoreWebView2EnvironmentVtbl>([](auto& t) {
    t.CreateCoreWebView2Controller = [](ICoreWebView2Environment*, HWND parent,
                                        ControllerDone* done) STDMETHODCALLTYPE {
        if (SUCCEEDED(script.controllerCall)) keep(done);
        note(IsWindow(parent) ? 'P' : 'p');
        return script.controllerCall;
    };
});
ICoreWebView2Environment environment{&environmentVtbl};

HRESULT STDAPICALLTYPE createEnvironment(PCWSTR browserFolder, PCWSTR dataFolder,
                                         ICoreWebView2EnvironmentOptions* options,
                                         EnvironmentDone* done) {
    if (SUCCEEDED(script.create)) keep(done);
    note(!browserFolder && !dataFolder && !options ? 'E' : 'e');
    return script.create;
}

const auto messageVtbl = vtable<ICoreWebView2WebMessageReceivedEventArgsVtbl>([](auto& t) {
    t.get_Source = getUri;
    t.TryGetWebMessageAsString =
        [](ICoreWebView2WebMessageReceivedEventArgs*, LPWSTR* text)
            STDMETHODCALLTYPE { return handOut(messageText, text, E_INVALIDARG); };
});
ICoreWebView2WebMessageReceivedEventArgs messageArgs{&messageVtbl};
const auto startingVtbl = vtable<ICoreWebView2NavigationStartingEventArgsVtbl>([](auto& t) {
    t.get_Uri = getUri;
    t.put_Cancel = refuse;
});
ICoreWebView2NavigationStartingEventArgs startingArgs{&startingVtbl};
const auto newWindowVtbl = vtable<ICoreWebView2NewWindowRequestedEventArgsVtbl>([](auto& t) {
    t.get_Uri = getUri;
    t.put_Handled = refuse;
});
ICoreWebView2NewWindowRequestedEventArgs newWindowArgs{&newWindowVtbl};

// --- the window ---

// Handles what reaches the thread until `done` holds or `milliseconds` pass. Quit messages are
// dropped: the tests destroy one window after another.
template <typename Done>
bool pumpUntil(Done done, DWORD milliseconds = 50) {
    for (const ULONGLONG end = GetTickCount64() + milliseconds; !done();) {
        if (GetTickCount64() > end) return false;
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE))
            if (message.message != WM_QUIT) DispatchMessageW(&message);
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    }
    return true;
}

bool nothingToPaint(HWND window) {
    RECT pending{};
    return !GetUpdateRect(window, &pending, FALSE);
}

class LauncherWindow : public testing::Test {
protected:
    TempDir folder;
    HWND window = nullptr;

    void SetUp() override {
        using Install = void(WINAPI*)(CreateCoreWebView2EnvironmentWithOptionsFunction);
        const auto install = reinterpret_cast<Install>(reinterpret_cast<void (*)()>(
            GetProcAddress(LoadLibraryW(L"WebView2Loader.dll"), "doubleInstall")));
        ASSERT_TRUE(install) << "the stand-in WebView2Loader.dll is not beside the test program";
        install(createEnvironment);
        useUserFolder(folder);
        window = createLauncherWindow(GetModuleHandleW(nullptr));
        ASSERT_NE(window, nullptr) << "CreateWindowExW failed, error " << GetLastError();
    }
    void TearDown() override {
        releaseWebView();
        if (IsWindow(window)) DestroyWindow(window);
        pumpUntil([] { return false; });
        mainWindow = nullptr;
        webView = nullptr;
        browserOpener = nullptr;
    }

    // Creates the browser as the runtime is told to; as from the runtime, the creation results
    // come after the calls that asked for them returned.
    void create(const Script& told = {}) {
        script = told;
        events.clear();
        createWebView(window);
        deliver<EnvironmentDone>(script.environment, &environment);
        deliver<ControllerDone>(script.controller, &controller);
    }
    // Raises the event with the arguments for `text`: 1 when the launcher refused the request, 0
    // when not.
    template <typename Handler, typename Args>
    int raiseFor(const wchar_t* text, Args* args, const wchar_t* message = nullptr) {
        uri = text;
        messageText = message;
        refused = FALSE;
        EXPECT_TRUE(raise<Handler>(&view, args)) << "the launcher added no handler";
        return refused;
    }
};

// Borderless and hidden until shown, placed as computed for the 900 x 500 design with the rim
// around it. The region reaches one pixel beyond the size, so the last row and column stay; Wine
// splits the same shape into other bands, so it is compared by the pixels the rounding decides.
TEST_F(LauncherWindow, IsAHidden904By504BorderlessPopupWithRoundedCorners) {
    EXPECT_EQ(GetWindowLongW(window, GWL_STYLE) & ~WS_CLIPSIBLINGS, static_cast<LONG>(WS_POPUP));
    EXPECT_FALSE(IsWindowVisible(window));
    const WindowRect expected =
        launcherWindowRect(GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN));
    const RECT placed{expected.left, expected.top, expected.left + 904, expected.top + 504};
    RECT actual{};
    GetWindowRect(window, &actual);
    EXPECT_TRUE(EqualRect(&actual, &placed));
    const HRGN shape = CreateRectRgn(0, 0, 0, 0),
               rounded = CreateRoundRectRgn(0, 0, 905, 505, 10, 10);
    ASSERT_NE(GetWindowRgn(window, shape), ERROR);
    for (const POINT point : {POINT{0, 0}, POINT{903, 503}, POINT{904, 504}, POINT{1, 1},
                              POINT{5, 5}, POINT{898, 498}, POINT{452, 0}})
        EXPECT_EQ(PtInRegion(shape, point.x, point.y), PtInRegion(rounded, point.x, point.y))
            << point.x << "," << point.y;
    DeleteObject(rounded);
    DeleteObject(shape);
}

// Timer 1 ticks the progress, which always sends the two status texts. Without a browser a new
// size only repaints, at once.
TEST_F(LauncherWindow, TimerOneTicksTheProgressAndDestroyEndsTheMessageLoop) {
    HostWindow* const host = mainWindow;
    FakeBrowser browser;
    SendMessageW(window, WM_TIMER, 2, 0);
    SendMessageW(window, WM_TIMER, 1, 0);
    EXPECT_EQ(browser.view.posted.size(), 2u);
    host->startProgressTimer();
    EXPECT_TRUE(pumpUntil([&] { return browser.view.posted.size() >= 6; }, 3000));
    SendMessageW(window, WM_SIZE, SIZE_RESTORED, MAKELPARAM(904, 504));
    EXPECT_TRUE(nothingToPaint(window));

    host->destroy();
    MSG message{};
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE) && message.message != WM_QUIT) {
    }
    EXPECT_EQ(message.message, static_cast<UINT>(WM_QUIT));
    EXPECT_EQ(message.wParam, 0u);
}

std::vector<std::u16string> opened;

TEST_F(LauncherWindow, ReadyBrowserShowsThePatcherPageAndPassesItsEventsOn) {
    overrideEndpoints("http://127.0.0.1:47810", "http://127.0.0.1:47811");
    writeFile(hashesPath.get(), "a = 1\n");
    reportPage = 0;
    create();
    // The handlers of navigations and new windows are in place before the patcher page. The
    // browser gets the client area less the rim, again at each new size.
    SetWindowPos(window, nullptr, 0, 0, 600, 400, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    EXPECT_EQ(events,
              "EPVB[2 2 902 502]SWN[http://127.0.0.1:47811/patcher]MB[2 2 902 502]CB[2 2 598 398]");
    // Only the page closes a window that has one.
    SendMessageW(window, WM_LBUTTONUP, 0, MAKELPARAM(450, 250));
    SendMessageW(window, WM_KEYDOWN, VK_ESCAPE, 0);
    EXPECT_TRUE(IsWindow(window));

    // The report page gets its data. A string from it acts; something else from it, or the same
    // from a sender the runtime cannot name, does not.
    events.clear();
    using Messaged = ICoreWebView2WebMessageReceivedEventHandler;
    const wchar_t* const report = uri = L"http://127.0.0.1:47811/patcher/report.html";
    ASSERT_TRUE(raise<ICoreWebView2NavigationCompletedEventHandler>(
        &view, static_cast<ICoreWebView2NavigationCompletedEventArgs*>(nullptr)));
    raiseFor<Messaged>(report, &messageArgs);
    raiseFor<Messaged>(nullptr, &messageArgs, L"loadMore");
    raiseFor<Messaged>(report, &messageArgs, L"loadMore");
    EXPECT_EQ(events, "OR");
    EXPECT_EQ(logMessages().back(), "Page message from an unknown page ignored: loadMore");

    // The answer goes into the request's arguments, so the runtime itself leaves out what the
    // launcher does not show.
    browserOpener = [](const std::u16string& url) { opened.push_back(url); };
    using Starting = ICoreWebView2NavigationStartingEventHandler;
    EXPECT_EQ(raiseFor<Starting>(L"http://127.0.0.1:47811/patcher/", &startingArgs), FALSE);
    EXPECT_EQ(raiseFor<Starting>(L"https://forum.example/", &startingArgs), TRUE);
    EXPECT_EQ(
        raiseFor<ICoreWebView2NewWindowRequestedEventHandler>(L"javascript:0", &newWindowArgs),
        TRUE);
    EXPECT_EQ(opened, std::vector<std::u16string>{u"https://forum.example/"});
    EXPECT_EQ(events, "OR") << "no navigation of the launcher's own";
}

// Every way the browser can fail to come is logged once, leaves no browser and puts a notice in
// the window that closes it on a click, Escape or Return. When the runtime cannot make its data
// folder, the notice names that folder (Launcher.exe.WebView2 beside the program) and the cause
// instead of sending the player to the setup, which would not help.
struct Failure {
    const char* name;
    HRESULT Script::*step;  // the step that fails, and how
    HRESULT result;
    WPARAM closeKey;   // 0: a click
    const char* line;  // logged after "Create WebView"
    const wchar_t* shown;
    bool namesDataFolder = false;
};

const Failure failures[] = {
    {"runtimeMissing", &Script::environment, HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), 0,
     "WebView2 Runtime not found - HRESULT 0x80070002", L"WebView2 Runtime is not installed"},
    {"environmentMissing", &Script::environment, S_FALSE, VK_RETURN,
     "Failed to create WebView2 environment - HRESULT 0x80004003", L"started, error 0x80004003"},
    {"controllerFailed", &Script::controller, HRESULT_FROM_WIN32(ERROR_INVALID_STATE), 0,
     "Failed to create WebView2 controller - HRESULT 0x8007139F", L"started, error 0x8007139F"},
    {"controllerMissing", &Script::controller, S_FALSE, 0,
     "Failed to create WebView2 controller - HRESULT 0x80004003", L"started, error 0x80004003"},
    {"controllerRefused", &Script::controllerCall, E_OUTOFMEMORY, 0,
     "Failed to create WebView2 controller - HRESULT 0x8007000E", L"started, error 0x8007000E"},
    {"dataFolderNotWritable", &Script::create, E_ACCESSDENIED, VK_ESCAPE,
     "Failed to create WebView2 environment - HRESULT 0x80070005",
     L"writing there is not allowed (error 0x80070005)", true},
    {"dataFolderIsAFile", &Script::environment, HRESULT_FROM_WIN32(ERROR_FILE_EXISTS), 0,
     "Failed to create WebView2 environment - HRESULT 0x80070050",
     L"a file of that name is in the way (error 0x80070050)", true},
};

class BrowserFailure : public LauncherWindow, public testing::WithParamInterface<Failure> {};

TEST_P(BrowserFailure, IsLoggedOnceAndExplainedByAClosableNotice) {
    const Failure& failure = GetParam();
    Script told;
    told.*failure.step = failure.result;
    create(told);
    EXPECT_FALSE(webViewControllerExists());
    EXPECT_EQ(logMessages(), (std::vector<std::string>{"Create WebView", failure.line}));
    const std::wstring& notice = webViewFailureText();
    wchar_t program[MAX_PATH] = {};
    ASSERT_GT(GetModuleFileNameW(nullptr, program, MAX_PATH), 0u);
    const auto has = [&](const std::wstring& text) { return notice.find(text) != notice.npos; };
    EXPECT_TRUE(has(failure.shown) && has(L"Click here to close this window."));
    EXPECT_EQ(has(program + std::wstring(L".WebView2\n")), failure.namesDataFolder);
    EXPECT_EQ(has(L"please run the setup again"), !failure.namesDataFolder);

    ShowWindow(window, SW_SHOWNA);
    UpdateWindow(window);
    EXPECT_TRUE(nothingToPaint(window)) << "the notice is painted";
    SendMessageW(window, WM_KEYDOWN, 'A', 0);
    EXPECT_TRUE(IsWindow(window)) << "any other key leaves the window open";
    SendMessageW(window, failure.closeKey ? WM_KEYDOWN : WM_LBUTTONUP, failure.closeKey, 0);
    EXPECT_FALSE(IsWindow(window));
}

INSTANTIATE_TEST_SUITE_P(Ways, BrowserFailure, testing::ValuesIn(failures),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
