// The launcher window and its WebView2 host. The host meets a fake runtime through the stand-in
// WebView2Loader.dll beside this program: the COM plumbing from loader to page messages, and
// what the window shows when the browser cannot be made.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <utility>
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

// Handed to a handler, S_FALSE is success without the environment or controller.
struct Script {
    HRESULT createResult = S_OK;          // returned by CreateCoreWebView2EnvironmentWithOptions
    HRESULT environmentResult = S_OK;     // handed to the environment handler
    HRESULT controllerCallResult = S_OK;  // returned by CreateCoreWebView2Controller
    HRESULT controllerResult = S_OK;      // handed to the controller handler
} script;

// `events` lists the launcher's calls in order: E environment requested, P controller requested,
// V view fetched, B bounds set, N navigate, T message text asked, and the handlers added: S
// navigation starting, W new window, M message, C navigation completed.
struct Record {
    std::string events;
    bool environmentArgumentsNull = false;  // browser folder, user data folder and options
    HWND controllerParent = nullptr;
    std::vector<RECT> bounds;
    std::vector<std::u16string> navigations;
    int reloads = 0, posted = 0, handedOut = 0;
    std::set<void*> unfreed;  // texts handed out and not yet given to CoTaskMemFree
} record;

using EnvironmentDone = ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler;
using ControllerDone = ICoreWebView2CreateCoreWebView2ControllerCompletedHandler;
using Loaded = ICoreWebView2NavigationCompletedEventHandler;
using Messaged = ICoreWebView2WebMessageReceivedEventHandler;
using Starting = ICoreWebView2NavigationStartingEventHandler;
using NewWindow = ICoreWebView2NewWindowRequestedEventHandler;

std::wstring shownSource;
const wchar_t *eventUri, *messageText;  // the sender or target of the event being raised, its text
BOOL refused;                           // the Cancel or Handled the launcher put into a request

// The one handler of each kind the launcher handed over.
template <typename Handler>
ComRef<Handler> held;

template <typename Handler>
void keep(Handler* handler) {
    held<Handler> = ComRef<Handler>::share(handler);
}

HRESULT handOut(const wchar_t* text, LPWSTR* out, HRESULT none = E_FAIL) {
    *out = nullptr;
    if (!text) return none;
    const std::size_t bytes = (std::wcslen(text) + 1) * sizeof(wchar_t);
    *out = static_cast<LPWSTR>(std::memcpy(CoTaskMemAlloc(bytes), text, bytes));
    record.unfreed.insert(*out);
    ++record.handedOut;
    return S_OK;
}

HRESULT note(char letter) {
    record.events += letter;
    return S_OK;
}
HRESULT count(int& calls) {
    ++calls;
    return S_OK;
}

template <typename Interface>
ULONG STDMETHODCALLTYPE one(Interface*) {
    return 1;
}

// The slots the fake leaves out stay null: the launcher calling one crashes the test at once.
template <typename Vtbl>
Vtbl vtable(const std::function<void(Vtbl&)>& fill) {
    Vtbl table{};
    table.AddRef = table.Release = one;
    fill(table);
    return table;
}

#define COM(...) [](__VA_ARGS__) STDMETHODCALLTYPE -> HRESULT

template <char letter, typename Handler>
HRESULT STDMETHODCALLTYPE add(ICoreWebView2*, Handler* handler, EventRegistrationToken*) {
    keep(handler);
    return note(letter);
}

const auto viewVtbl = vtable<ICoreWebView2Vtbl>([](auto& t) {
    t.get_Source = COM(ICoreWebView2*, LPWSTR * uri) {
        return handOut(shownSource.c_str(), uri);
    };
    t.Navigate = COM(ICoreWebView2*, LPCWSTR uri) {
        record.navigations.push_back(reinterpret_cast<const char16_t*>(uri));
        return note('N');
    };
    t.Reload = COM(ICoreWebView2*) {
        return count(record.reloads);
    };
    t.PostWebMessageAsString = COM(ICoreWebView2*, LPCWSTR) {
        return count(record.posted);
    };
    t.add_NavigationStarting = add<'S'>;
    t.add_NavigationCompleted = add<'C'>;
    t.add_WebMessageReceived = add<'M'>;
    t.add_NewWindowRequested = add<'W'>;
});
ICoreWebView2 view{&viewVtbl};

const auto controllerVtbl = vtable<ICoreWebView2ControllerVtbl>([](auto& t) {
    t.put_Bounds = COM(ICoreWebView2Controller*, RECT bounds) {
        record.bounds.push_back(bounds);
        return note('B');
    };
    t.get_CoreWebView2 = COM(ICoreWebView2Controller*, ICoreWebView2 * *result) {
        *result = &view;
        return note('V');
    };
});
ICoreWebView2Controller controller{&controllerVtbl};

const auto environmentVtbl = vtable<ICoreWebView2EnvironmentVtbl>([](auto& t) {
    t.CreateCoreWebView2Controller =
        COM(ICoreWebView2Environment*, HWND parent, ControllerDone * done) {
        note('P');
        record.controllerParent = parent;
        if (SUCCEEDED(script.controllerCallResult)) keep(done);
        return script.controllerCallResult;
    };
});
ICoreWebView2Environment environment{&environmentVtbl};

HRESULT STDAPICALLTYPE createEnvironment(PCWSTR browserFolder, PCWSTR dataFolder,
                                         ICoreWebView2EnvironmentOptions* options,
                                         EnvironmentDone* done) {
    note('E');
    record.environmentArgumentsNull = !browserFolder && !dataFolder && !options;
    if (SUCCEEDED(script.createResult)) keep(done);
    return script.createResult;
}

template <typename Args>
HRESULT STDMETHODCALLTYPE getUri(Args*, LPWSTR* uri) {
    return handOut(eventUri, uri);
}

const auto messageVtbl = vtable<ICoreWebView2WebMessageReceivedEventArgsVtbl>([](auto& t) {
    t.get_Source = getUri;
    t.TryGetWebMessageAsString = COM(ICoreWebView2WebMessageReceivedEventArgs*, LPWSTR * text) {
        note('T');
        return handOut(messageText, text, E_INVALIDARG);
    };
});
ICoreWebView2WebMessageReceivedEventArgs messageArgs{&messageVtbl};

template <typename Args>
HRESULT STDMETHODCALLTYPE refuse(Args*, BOOL value) {
    refused = value;
    return S_OK;
}
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

// Raises the event with the handler the launcher added for it; false when it added none.
template <typename Handler, typename Args>
bool raise(Args* args) {
    if (!held<Handler>) return false;
    held<Handler>.get()->lpVtbl->Invoke(held<Handler>.get(), &view, args);
    return true;
}

template <typename... Handler>
void forget() {
    (held<Handler>.reset(), ...);
}

// As from the runtime, the creation results come after the call that asked for them returned.
template <typename Handler, typename Result>
void deliver(HRESULT result, Result* object) {
    if (const auto handler = std::move(held<Handler>))
        handler.get()->lpVtbl->Invoke(handler.get(), result, result == S_FALSE ? nullptr : object);
}

// Checks off the texts given to CoTaskMemFree.
struct FreeSpy : IMallocSpy {
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** out) override {
        *out = this;
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    SIZE_T STDMETHODCALLTYPE PreAlloc(SIZE_T size) override { return size; }
    void* STDMETHODCALLTYPE PostAlloc(void* actual) override { return actual; }
    void* STDMETHODCALLTYPE PreFree(void* request, BOOL) override {
        record.unfreed.erase(request);
        return request;
    }
    void STDMETHODCALLTYPE PostFree(BOOL) override {}
    SIZE_T STDMETHODCALLTYPE PreRealloc(void* request, SIZE_T size, void** out, BOOL) override {
        *out = request;
        return size;
    }
    void* STDMETHODCALLTYPE PostRealloc(void* actual, BOOL) override { return actual; }
    void* STDMETHODCALLTYPE PreGetSize(void* request, BOOL) override { return request; }
    SIZE_T STDMETHODCALLTYPE PostGetSize(SIZE_T size, BOOL) override { return size; }
    void* STDMETHODCALLTYPE PreDidAlloc(void* request, BOOL) override { return request; }
    int STDMETHODCALLTYPE PostDidAlloc(void*, BOOL, int actual) override { return actual; }
    void STDMETHODCALLTYPE PreHeapMinimize() override {}
    void STDMETHODCALLTYPE PostHeapMinimize() override {}
} freeSpy;

// --- the window ---

// Handles what reaches the thread until `done` holds or `milliseconds` pass. Quit messages are
// dropped: the tests destroy one window after another.
bool pumpUntil(const std::function<bool()>& done, DWORD milliseconds = 50) {
    for (const ULONGLONG end = GetTickCount64() + milliseconds; !done();) {
        if (GetTickCount64() > end) return false;
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE))
            if (message.message != WM_QUIT) DispatchMessageW(&message);
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    }
    return true;
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
        static const bool spying = SUCCEEDED(CoRegisterMallocSpy(&freeSpy));
        ASSERT_TRUE(spying);
        useUserFolder(folder);
        window = createLauncherWindow(GetModuleHandleW(nullptr));
        const DWORD error = GetLastError();
        ASSERT_NE(window, nullptr) << "CreateWindowExW failed, error " << error;
    }
    void TearDown() override {
        releaseWebView();
        if (IsWindow(window)) DestroyWindow(window);
        pumpUntil([] { return false; });
        mainWindow = nullptr;
        webView = nullptr;
        browserOpener = nullptr;
    }

    // Creates the browser as the runtime is told to.
    void create(const Script& told = {}) {
        script = told;
        record = {};
        shownSource = L"about:blank";
        forget<Loaded, Messaged, Starting, NewWindow>();
        createWebView(window);
        deliver<EnvironmentDone>(script.environmentResult, &environment);
        deliver<ControllerDone>(script.controllerResult, &controller);
    }
    bool receive(const std::u16string& source, const wchar_t* text) {
        eventUri = source.empty() ? nullptr : reinterpret_cast<const wchar_t*>(source.c_str());
        messageText = text;
        return raise<Messaged>(&messageArgs);
    }
    // Raises a navigation or new-window request: 1 when the launcher refused it, 0 when not.
    template <typename Handler, typename Args>
    int ask(Args* args, const wchar_t* uri) {
        eventUri = uri;
        refused = FALSE;
        return raise<Handler>(args) ? refused : -1;
    }
};

// Borderless and hidden until shown, placed as computed for the 900 x 500 design with the rim
// around it. The region reaches one pixel beyond the size, so the last row and column stay; Wine
// splits the same shape into other bands, so it is compared by its box and the pixels that the
// rounding decides.
TEST_F(LauncherWindow, IsAHidden904By504BorderlessPopupWithRoundedCorners) {
    EXPECT_EQ(static_cast<DWORD>(GetWindowLongW(window, GWL_STYLE)) & ~WS_CLIPSIBLINGS,
              static_cast<DWORD>(WS_POPUP));
    EXPECT_EQ(GetWindowLongW(window, GWL_EXSTYLE), 0);
    EXPECT_FALSE(IsWindowVisible(window));
    const WindowRect expected =
        launcherWindowRect(GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN));
    const RECT placed{expected.left, expected.top, expected.left + 904, expected.top + 504};
    const RECT whole{0, 0, 904, 504};
    RECT actual{}, box{};
    GetWindowRect(window, &actual);
    EXPECT_TRUE(EqualRect(&actual, &placed));
    const HRGN shape = CreateRectRgn(0, 0, 0, 0),
               rounded = CreateRoundRectRgn(0, 0, 905, 505, 10, 10);
    ASSERT_NE(GetWindowRgn(window, shape), ERROR);
    GetRgnBox(shape, &box);
    EXPECT_TRUE(EqualRect(&box, &whole));
    for (const POINT point : {POINT{0, 0}, POINT{903, 0}, POINT{0, 503}, POINT{903, 503},
                              POINT{1, 1}, POINT{5, 5}, POINT{898, 498}, POINT{452, 0}})
        EXPECT_EQ(PtInRegion(shape, point.x, point.y), PtInRegion(rounded, point.x, point.y))
            << point.x << "," << point.y;
    DeleteObject(rounded);
    DeleteObject(shape);
}

// Timer 1 ticks the progress, which always sends the two status texts, and starts over when
// started again. Without a browser a new size only repaints, at once.
TEST_F(LauncherWindow, TimerOneTicksTheProgressAndDestroyEndsTheMessageLoop) {
    HostWindow* const host = mainWindow;
    host->startProgressTimer();
    host->startProgressTimer();
    EXPECT_TRUE(KillTimer(window, 1));
    EXPECT_FALSE(KillTimer(window, 1));
    FakeBrowser browser;
    SendMessageW(window, WM_TIMER, 2, 0);
    SendMessageW(window, WM_TIMER, 1, 0);
    EXPECT_EQ(browser.view.posted.size(), 2u);
    host->startProgressTimer();
    EXPECT_TRUE(pumpUntil([&] { return browser.view.posted.size() >= 6; }, 3000));
    SendMessageW(window, WM_SIZE, SIZE_RESTORED, MAKELPARAM(904, 504));
    RECT pending{};
    EXPECT_FALSE(GetUpdateRect(window, &pending, FALSE));

    host->destroy();
    MSG message;
    bool quit = false;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE))
        if (message.message == WM_QUIT) quit = message.wParam == 0;
    EXPECT_TRUE(quit);
}

std::vector<std::u16string> opened;

// Each text the runtime hands out is freed once read.
TEST_F(LauncherWindow, ReadyBrowserShowsThePatcherPageAndPassesItsEventsOn) {
    overrideEndpoints("http://127.0.0.1:47810", "http://127.0.0.1:47811");
    writeFile(hashesPath.get(), "a = 1\n");
    reportPage = 0;
    create();
    // Environment, controller, view; bounds, the navigation-starting and new-window handlers
    // before the patcher page, message handler, bounds again, and the navigation handler last.
    EXPECT_EQ(record.events, "EPVBSWNMBC");
    EXPECT_TRUE(record.environmentArgumentsNull);
    EXPECT_EQ(record.controllerParent, window);
    EXPECT_EQ(record.navigations, std::vector<std::u16string>{u"http://127.0.0.1:47811/patcher"});
    EXPECT_EQ(logMessages(), std::vector<std::string>{"Create WebView"});  // and no failure
    // The browser gets the client area less the rim, again at each new size.
    SetWindowPos(window, nullptr, 0, 0, 600, 400, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    const RECT client{2, 2, 902, 502}, smaller{2, 2, 598, 398};
    ASSERT_GE(record.bounds.size(), 3u);
    EXPECT_TRUE(EqualRect(&record.bounds[0], &client) && EqualRect(&record.bounds[1], &client));
    EXPECT_TRUE(EqualRect(&record.bounds.back(), &smaller));
    // Only the page closes a window that has one.
    SendMessageW(window, WM_LBUTTONUP, 0, MAKELPARAM(450, 250));
    SendMessageW(window, WM_KEYDOWN, VK_ESCAPE, 0);
    EXPECT_TRUE(IsWindow(window));

    shownSource = L"http://127.0.0.1:47811/patcher/report.html";
    ASSERT_TRUE(raise<Loaded>(static_cast<ICoreWebView2NavigationCompletedEventArgs*>(nullptr)));
    EXPECT_EQ(record.posted, 1);  // the report page gets its data

    // A string from the web service's own page acts; something else from it, or the same from a
    // look-alike host or from a sender the runtime cannot name, does not.
    ASSERT_TRUE(receive(reportPageUrl(), nullptr));
    EXPECT_EQ(record.events.back(), 'T');
    ASSERT_TRUE(receive(u"http://127.0.0.1.evil/", L"loadMore"));
    ASSERT_TRUE(receive(u"", L"loadMore"));
    EXPECT_EQ(reportPage, 0);
    ASSERT_TRUE(receive(reportPageUrl(), L"loadMore"));
    EXPECT_EQ(reportPage, 1);
    EXPECT_EQ(record.reloads, 1);
    EXPECT_EQ(logMessages(),
              (std::vector<std::string>{"Create WebView",
                                        "Page message from http://127.0.0.1.evil ignored: loadMore",
                                        "Page message from an unknown page ignored: loadMore"}));

    // The logic's answer on a navigation or new window goes into the event's arguments, so the
    // runtime itself leaves out what the launcher does not show.
    browserOpener = [](const std::u16string& url) { opened.push_back(url); };
    EXPECT_EQ(ask<Starting>(&startingArgs, L"http://127.0.0.1:47811/patcher/"), 0);
    EXPECT_EQ(ask<Starting>(&startingArgs, L"https://forum.example/"), 1);
    EXPECT_EQ(ask<NewWindow>(&newWindowArgs, L"http://127.0.0.1:47811/patcher/report.html"), 1);
    EXPECT_EQ(ask<NewWindow>(&newWindowArgs, L"javascript:alert(1)"), 1);
    EXPECT_EQ(opened, (std::vector<std::u16string>{u"https://forum.example/",
                                                   u"http://127.0.0.1:47811/patcher/report.html"}));
    EXPECT_EQ(record.navigations.size(), 1u) << "only the launcher's own first page";
    EXPECT_EQ(record.handedOut, 11);
    EXPECT_TRUE(record.unfreed.empty());
}

// Every way the browser can fail to come is logged once, leaves no browser and puts a notice in
// the window that closes it on a click, Escape or Return. When the runtime cannot make its data
// folder, the notice names that folder and the cause instead of sending the player to the setup,
// which would not help.
struct Failure {
    const char* name;
    HRESULT Script::*step;  // the step that fails
    HRESULT result;         // and how
    const char* events;
    const char* line;
    const wchar_t* shown;
    WPARAM closeKey;  // 0: a click
    bool namesDataFolder = false;
};

const Failure failures[] = {
    {"runtimeMissing", &Script::environmentResult, HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), "E",
     "WebView2 Runtime not found - HRESULT 0x80070002", L"WebView2 Runtime is not installed", 0},
    {"environmentRefused", &Script::createResult, E_FAIL, "E",
     "Failed to create WebView2 environment - HRESULT 0x80004005",
     L"could not be started, error 0x80004005", VK_ESCAPE},
    {"environmentMissing", &Script::environmentResult, S_FALSE, "E",
     "Failed to create WebView2 environment - HRESULT 0x80004003",
     L"could not be started, error 0x80004003", VK_RETURN},
    {"controllerFailed", &Script::controllerResult, HRESULT_FROM_WIN32(ERROR_INVALID_STATE), "EP",
     "Failed to create WebView2 controller - HRESULT 0x8007139F",
     L"could not be started, error 0x8007139F", 0},
    {"controllerMissing", &Script::controllerResult, S_FALSE, "EP",
     "Failed to create WebView2 controller - HRESULT 0x80004003",
     L"could not be started, error 0x80004003", 0},
    {"controllerRefused", &Script::controllerCallResult, E_OUTOFMEMORY, "EP",
     "Failed to create WebView2 controller - HRESULT 0x8007000E",
     L"could not be started, error 0x8007000E", 0},
    {"dataFolderNotWritable", &Script::createResult, E_ACCESSDENIED, "E",
     "Failed to create WebView2 environment - HRESULT 0x80070005",
     L"writing there is not allowed (error 0x80070005)", 0, true},
    {"dataFolderNotWritableLater", &Script::environmentResult, E_ACCESSDENIED, "E",
     "Failed to create WebView2 environment - HRESULT 0x80070005",
     L"writing there is not allowed (error 0x80070005)", VK_ESCAPE, true},
    {"dataFolderNotWritableForController", &Script::controllerResult, E_ACCESSDENIED, "EP",
     "Failed to create WebView2 controller - HRESULT 0x80070005",
     L"writing there is not allowed (error 0x80070005)", 0, true},
    {"dataFolderIsAFile", &Script::environmentResult, HRESULT_FROM_WIN32(ERROR_FILE_EXISTS), "E",
     "Failed to create WebView2 environment - HRESULT 0x80070050",
     L"a file of that name is in the way (error 0x80070050)", VK_RETURN, true},
};

class BrowserFailure : public LauncherWindow, public testing::WithParamInterface<Failure> {};

TEST_P(BrowserFailure, IsLoggedOnceAndExplainedByAClosableNotice) {
    const Failure& failure = GetParam();
    Script told;
    told.*failure.step = failure.result;
    create(told);
    EXPECT_EQ(record.events, failure.events);
    EXPECT_FALSE(webViewControllerExists());
    EXPECT_EQ(logMessages(), (std::vector<std::string>{"Create WebView", failure.line}));
    const std::wstring& notice = webViewFailureText();
    wchar_t program[MAX_PATH] = {};
    ASSERT_GT(GetModuleFileNameW(nullptr, program, MAX_PATH), 0u);
    EXPECT_NE(notice.find(failure.shown), std::wstring::npos);
    EXPECT_EQ(notice.find(program + std::wstring(L".WebView2\n")) != std::wstring::npos,
              failure.namesDataFolder);
    EXPECT_EQ(notice.find(L"please run the setup again") == std::wstring::npos,
              failure.namesDataFolder);
    EXPECT_NE(notice.find(L"Click here to close this window."), std::wstring::npos);

    ShowWindow(window, SW_SHOWNA);
    UpdateWindow(window);
    RECT pending{};
    EXPECT_FALSE(GetUpdateRect(window, &pending, FALSE)) << "the notice is painted";
    SendMessageW(window, WM_KEYDOWN, 'A', 0);
    EXPECT_TRUE(IsWindow(window)) << "any other key leaves the window open";
    SendMessageW(window, failure.closeKey ? WM_KEYDOWN : WM_LBUTTONUP, failure.closeKey, 0);
    EXPECT_FALSE(IsWindow(window));
}

INSTANTIATE_TEST_SUITE_P(Ways, BrowserFailure, testing::ValuesIn(failures),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
