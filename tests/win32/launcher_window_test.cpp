// The launcher window and its WebView2 host. The host meets a fake runtime through the stand-in
// WebView2Loader.dll beside this program: the COM plumbing from loader to page messages, and
// what the window shows when the browser cannot be made.
#include <gtest/gtest.h>

#include <windows.h>

#include <shlwapi.h>

#include <chrono>
#include <string>
#include <vector>

#include "core/text.h"
#include "core/user_paths.h"
#include "net/endpoints.h"
#include "shell/win32/com_ref.h"
#include "shell/win32/launcher_window.h"
#include "shell/win32/webview2_abi.h"
#include "shell/win32/webview2_host.h"
#include "tests/support/fake_browser.h"
#include "tests/support/http_server.h"
#include "tests/support/temp_dir.h"
#include "web/browser_host.h"

namespace {

// The fake runtime, with one environment, controller and view that are never freed, answers so.
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
// Hands out `text` as the runtime does, for the launcher to free with CoTaskMemFree.
template <const wchar_t* const& text, typename Interface>
HRESULT STDMETHODCALLTYPE get(Interface*, LPWSTR* out) {
    *out = nullptr;
    return text ? SHStrDupW(text, out) : E_FAIL;
}
template <typename Args>
HRESULT STDMETHODCALLTYPE refuse(Args*, BOOL value) {
    refused = value;
    return S_OK;
}

const auto viewVtbl = vtable<ICoreWebView2Vtbl>([](auto& t) {
    t.get_Source = get<uri>;
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
    t.get_Source = get<uri>;
    t.TryGetWebMessageAsString = get<messageText>;
});
ICoreWebView2WebMessageReceivedEventArgs messageArgs{&messageVtbl};
const auto startingVtbl = vtable<ICoreWebView2NavigationStartingEventArgsVtbl>([](auto& t) {
    t.get_Uri = get<uri>;
    t.put_Cancel = refuse;
});
ICoreWebView2NavigationStartingEventArgs startingArgs{&startingVtbl};
const auto newWindowVtbl = vtable<ICoreWebView2NewWindowRequestedEventArgsVtbl>([](auto& t) {
    t.get_Uri = get<uri>;
    t.put_Handled = refuse;
});
ICoreWebView2NewWindowRequestedEventArgs newWindowArgs{&newWindowVtbl};

// Handles what reaches the thread: the status of the quit message, which comes last, or -1.
int pump() {
    MSG message{};
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE) && message.message != WM_QUIT)
        DispatchMessageW(&message);
    return message.message == WM_QUIT ? static_cast<int>(message.wParam) : -1;
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
        pump();
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
    // Raises the event for `text`: TRUE when the launcher refused the request.
    template <typename Handler, typename Args>
    int raiseFor(const wchar_t* text, Args* args, const wchar_t* message = nullptr) {
        uri = text;
        messageText = message;
        refused = FALSE;
        EXPECT_TRUE(raise<Handler>(&view, args)) << "the launcher added no handler";
        return refused;
    }
};

// Timer 1 ticks the progress, which always sends the two status texts.
TEST_F(LauncherWindow, IsAHiddenPopupWhoseTimerOneTicksTheProgress) {
    EXPECT_EQ(GetWindowLongW(window, GWL_STYLE) & ~WS_CLIPSIBLINGS, static_cast<LONG>(WS_POPUP));
    EXPECT_FALSE(IsWindowVisible(window));
    HostWindow* const host = mainWindow;
    FakeBrowser browser;
    SendMessageW(window, WM_TIMER, 2, 0);
    SendMessageW(window, WM_TIMER, 1, 0);
    EXPECT_EQ(browser.view.posted.size(), 2u);
    host->startProgressTimer();
    EXPECT_TRUE(KillTimer(window, 1));
    host->destroy();
    EXPECT_EQ(pump(), 0) << "the message loop ends with status 0";
}

std::vector<std::u16string> opened;

TEST_F(LauncherWindow, ReadyBrowserShowsThePatcherPageAndPassesItsEventsOn) {
    overrideEndpoints("http://127.0.0.1:47810", "http://127.0.0.1:47811");
    writeFile(hashesPath.get(), "a = 1\n");
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

// Regression: the client page's sync ran on the UI thread, and a web service that held its answer
// froze the window: the player's close waited for it. It is obeyed at once.
TEST_F(LauncherWindow, CloseIsObeyedWhileTheWebServiceHoldsTheSync) {
    HttpServer server;
    server.script("/launcher_client/index.php", {answer(200, "{}", Delivery::Pause)});
    overrideEndpoints(server.url(), server.url());
    const std::u16string page = toWide(server.url("/launcher_client/index.php"));
    const std::wstring client(page.begin(), page.end());
    const auto before = std::chrono::steady_clock::now();
    EXPECT_EXIT(
        {
            create();
            uri = client.c_str();
            raise<ICoreWebView2NavigationCompletedEventHandler>(
                &view, static_cast<ICoreWebView2NavigationCompletedEventArgs*>(nullptr));
            Sleep(200);
            raiseFor<ICoreWebView2WebMessageReceivedEventHandler>(client.c_str(), &messageArgs,
                                                                  L"close");
        },
        testing::ExitedWithCode(0), "");
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(5));
}

// Every way the browser can fail to come is logged once, leaves no browser and puts a notice in
// the window that closes it on a click, Escape or Return. When the runtime cannot make its data
// folder, the notice names that folder (Launcher.exe.WebView2 beside the program) and the cause
// instead of sending the player to the setup, which would not help.
struct Failure {
    const char* name;
    HRESULT Script::*step;  // the step that fails, and how
    HRESULT result;
    WPARAM closeKey;  // 0: a click
    const wchar_t* shown;
    bool namesDataFolder = false;
};

const Failure failures[] = {
    {"runtimeMissing", &Script::environment, HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), 0,
     L"WebView2 Runtime is not installed"},
    {"environmentMissing", &Script::environment, S_FALSE, VK_RETURN, L"started, error 0x80004003"},
    {"controllerMissing", &Script::controller, S_FALSE, 0, L"started, error 0x80004003"},
    {"controllerRefused", &Script::controllerCall, E_OUTOFMEMORY, 0, L"started, error 0x8007000E"},
    {"dataFolderNotWritable", &Script::create, E_ACCESSDENIED, VK_ESCAPE,
     L"writing there is not allowed (error 0x80070005)", true},
    {"dataFolderIsAFile", &Script::controller, HRESULT_FROM_WIN32(ERROR_FILE_EXISTS), 0,
     L"a file of that name is in the way (error 0x80070050)", true},
};

class BrowserFailure : public LauncherWindow, public testing::WithParamInterface<Failure> {};

TEST_P(BrowserFailure, IsLoggedOnceAndExplainedByAClosableNotice) {
    const Failure& failure = GetParam();
    Script told;
    told.*failure.step = failure.result;
    create(told);
    EXPECT_FALSE(webViewControllerExists());
    EXPECT_EQ(logMessages().size(), 2u) << "Create WebView, then the failure";
    const std::wstring& notice = webViewFailureText();
    const auto has = [&](const std::wstring& text) { return notice.find(text) != notice.npos; };
    EXPECT_TRUE(has(failure.shown) && has(L"Click here to close this window."));
    EXPECT_EQ(has(L"\\win32_tests.exe.WebView2\n"), failure.namesDataFolder);
    EXPECT_EQ(has(L"please run the setup again"), !failure.namesDataFolder);
    SendMessageW(window, WM_KEYDOWN, 'A', 0);
    EXPECT_TRUE(IsWindow(window)) << "any other key leaves the window open";
    SendMessageW(window, failure.closeKey ? WM_KEYDOWN : WM_LBUTTONUP, failure.closeKey, 0);
    EXPECT_FALSE(IsWindow(window));
}

INSTANTIATE_TEST_SUITE_P(Ways, BrowserFailure, testing::ValuesIn(failures),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
