#include "shell/win32/webview2_host.h"

#include <objbase.h>

#include <cstdio>
#include <optional>
#include <string>

#include "core/log.h"
#include "launcher/window_layout.h"
#include "shell/win32/com_ref.h"
#include "shell/win32/webview2_abi.h"
#include "web/browser_host.h"
#include "web/browser_view.h"

namespace {

// --- the launcher's callback objects ---

HRESULT STDMETHODCALLTYPE
environmentCompleted(ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler* self,
                     HRESULT result, ICoreWebView2Environment* environment);
HRESULT STDMETHODCALLTYPE
controllerCompleted(ICoreWebView2CreateCoreWebView2ControllerCompletedHandler* self, HRESULT result,
                    ICoreWebView2Controller* controller);
HRESULT STDMETHODCALLTYPE navigationCompleted(ICoreWebView2NavigationCompletedEventHandler* self,
                                              ICoreWebView2* sender,
                                              ICoreWebView2NavigationCompletedEventArgs* args);
HRESULT STDMETHODCALLTYPE webMessageReceived(ICoreWebView2WebMessageReceivedEventHandler* self,
                                             ICoreWebView2* sender,
                                             ICoreWebView2WebMessageReceivedEventArgs* args);
HRESULT STDMETHODCALLTYPE navigationStarting(ICoreWebView2NavigationStartingEventHandler* self,
                                             ICoreWebView2* sender,
                                             ICoreWebView2NavigationStartingEventArgs* args);
HRESULT STDMETHODCALLTYPE newWindowRequested(ICoreWebView2NewWindowRequestedEventHandler* self,
                                             ICoreWebView2* sender,
                                             ICoreWebView2NewWindowRequestedEventArgs* args);

// One handler interface with its reference count and the window it works for. `com` comes first,
// so the interface pointer the runtime holds is the object's address.
template <typename Interface, typename Vtbl, const IID& iid, auto invoke>
struct Handler {
    Interface com;
    LONG references;
    HWND window;

    static Handler* of(Interface* self) { return reinterpret_cast<Handler*>(self); }

    static HRESULT STDMETHODCALLTYPE QueryInterface(Interface* self, REFIID wanted, void** out) {
        if (!out) return E_POINTER;
        if (IsEqualIID(wanted, IID_IUnknown) || IsEqualIID(wanted, iid)) {
            *out = self;
            AddRef(self);
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    static ULONG STDMETHODCALLTYPE AddRef(Interface* self) {
        return static_cast<ULONG>(InterlockedIncrement(&of(self)->references));
    }
    static ULONG STDMETHODCALLTYPE Release(Interface* self) {
        const LONG left = InterlockedDecrement(&of(self)->references);
        if (left == 0) delete of(self);
        return static_cast<ULONG>(left);
    }

    static constexpr Vtbl vtbl{QueryInterface, AddRef, Release, invoke};
    static ComRef<Interface> make(HWND window) {
        return ComRef<Interface>(&(new Handler{{&vtbl}, 1, window})->com);
    }
};

using EnvironmentHandler =
    Handler<ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler,
            ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandlerVtbl,
            IID_ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler, environmentCompleted>;
using ControllerHandler =
    Handler<ICoreWebView2CreateCoreWebView2ControllerCompletedHandler,
            ICoreWebView2CreateCoreWebView2ControllerCompletedHandlerVtbl,
            IID_ICoreWebView2CreateCoreWebView2ControllerCompletedHandler, controllerCompleted>;
using NavigationHandler =
    Handler<ICoreWebView2NavigationCompletedEventHandler,
            ICoreWebView2NavigationCompletedEventHandlerVtbl,
            IID_ICoreWebView2NavigationCompletedEventHandler, navigationCompleted>;
using MessageHandler = Handler<ICoreWebView2WebMessageReceivedEventHandler,
                               ICoreWebView2WebMessageReceivedEventHandlerVtbl,
                               IID_ICoreWebView2WebMessageReceivedEventHandler, webMessageReceived>;
using NavigationStartingHandler =
    Handler<ICoreWebView2NavigationStartingEventHandler,
            ICoreWebView2NavigationStartingEventHandlerVtbl,
            IID_ICoreWebView2NavigationStartingEventHandler, navigationStarting>;
using NewWindowHandler =
    Handler<ICoreWebView2NewWindowRequestedEventHandler,
            ICoreWebView2NewWindowRequestedEventHandlerVtbl,
            IID_ICoreWebView2NewWindowRequestedEventHandler, newWindowRequested>;

// --- the view as the launcher's logic sees it ---

const wchar_t* wide(const std::u16string& text) {
    return reinterpret_cast<const wchar_t*>(text.c_str());
}

// Takes a text the runtime handed out and frees it.
std::u16string adoptRuntimeText(LPWSTR text) {
    std::u16string copy = text ? std::u16string(reinterpret_cast<const char16_t*>(text)) : u"";
    CoTaskMemFree(text);
    return copy;
}

// A text the runtime hands out through `get`; empty when it has none to give.
template <typename Args, typename Getter>
std::u16string runtimeText(Args* args, Getter get) {
    LPWSTR text = nullptr;
    if (!args || FAILED((args->lpVtbl->*get)(args, &text))) return u"";
    return adoptRuntimeText(text);
}

class EdgeView : public BrowserView {
public:
    void attach(ICoreWebView2* view) { view_ = view; }
    void navigate(const std::u16string& url) override {
        if (view_) view_->lpVtbl->Navigate(view_, wide(url));
    }
    void reload() override {
        if (view_) view_->lpVtbl->Reload(view_);
    }
    void postWebMessageAsString(const std::u16string& text) override {
        if (view_) view_->lpVtbl->PostWebMessageAsString(view_, wide(text));
    }
    std::optional<std::u16string> source() override {
        if (!view_) return std::nullopt;
        LPWSTR uri = nullptr;
        if (FAILED(view_->lpVtbl->get_Source(view_, &uri))) return std::nullopt;
        return adoptRuntimeText(uri);
    }

private:
    ICoreWebView2* view_ = nullptr;
};

ComRef<ICoreWebView2Environment> webEnvironment;
ComRef<ICoreWebView2Controller> webController;
ComRef<ICoreWebView2> coreWebView;
EdgeView edgeView;
std::wstring failureText;

std::string hresultText(HRESULT result) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(result));
    return text;
}

std::wstring wideAscii(const std::string& ascii) {
    return std::wstring(ascii.begin(), ascii.end());
}

const wchar_t closeHint[] = L"\n\nClick here to close this window.";

// Only the first reason counts: a failing creation can report itself twice (its return value
// and its callback).
void reportFailure(HWND window, const std::string& logText, const std::wstring& shownText) {
    if (!failureText.empty()) return;
    logLine(logText);
    failureText = shownText + closeHint;
    if (window) InvalidateRect(window, nullptr, TRUE);
}

// The runtime keeps its data in a folder beside the executable, named after it.
std::wstring userDataFolder() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) return L"Launcher.exe.WebView2";
        if (length < path.size()) return path.substr(0, length) + L".WebView2";
        path.resize(path.size() * 2);
    }
}

void reportBrowserFailure(HWND window, const std::string& what, HRESULT result) {
    const std::string line =
        "Failed to create WebView2 " + what + " - HRESULT " + hresultText(result);
    // HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND): the loader found no installed runtime.
    if (result == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)) {
        reportFailure(window, "WebView2 Runtime not found - HRESULT " + hresultText(result),
                      L"The Microsoft Edge WebView2 Runtime is not installed, so the launcher "
                      L"cannot show its pages.\n\nThe >ORV< setup installs it: please run the "
                      L"setup again.");
        return;
    }
    // The data folder could not be made: running the setup again would not change that, the
    // player has to see which folder it is and what is in the way.
    if (result == E_ACCESSDENIED || result == HRESULT_FROM_WIN32(ERROR_FILE_EXISTS)) {
        const bool denied = result == E_ACCESSDENIED;
        reportFailure(
            window, line,
            L"The embedded browser (Microsoft Edge WebView2) cannot make its data folder\n" +
                userDataFolder() + L"\n" +
                (denied ? L"because writing there is not allowed"
                        : L"because a file of that name is in the way") +
                L" (error " + wideAscii(hresultText(result)) +
                L"), so the launcher cannot show its pages.\n\n" +
                (denied ? L"Install >ORV< in a folder your Windows user may write to, or give "
                          L"your user the right to write to this one."
                        : L"Move that file away, then start the launcher again."));
        return;
    }
    reportFailure(window, line,
                  L"The embedded browser (Microsoft Edge WebView2) could not be started, error " +
                      wideAscii(hresultText(result)) +
                      L".\n\nThe >ORV< setup installs the WebView2 Runtime it needs: please run "
                      L"the setup again.");
}

RECT browserRect(HWND window) {
    RECT client{};
    GetClientRect(window, &client);
    const WindowRect inset = browserBounds(client.right - client.left, client.bottom - client.top);
    return RECT{client.left + inset.left, client.top + inset.top, client.left + inset.right,
                client.top + inset.bottom};
}

HRESULT STDMETHODCALLTYPE
environmentCompleted(ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler* self,
                     HRESULT result, ICoreWebView2Environment* environment) {
    const HWND window = EnvironmentHandler::of(self)->window;
    if (FAILED(result) || !environment) {
        reportBrowserFailure(window, "environment", FAILED(result) ? result : E_POINTER);
        return S_OK;
    }
    webEnvironment = ComRef<ICoreWebView2Environment>::share(environment);
    const auto handler = ControllerHandler::make(window);
    const HRESULT started =
        environment->lpVtbl->CreateCoreWebView2Controller(environment, window, handler.get());
    if (FAILED(started)) reportBrowserFailure(window, "controller", started);
    return S_OK;
}

HRESULT STDMETHODCALLTYPE
controllerCompleted(ICoreWebView2CreateCoreWebView2ControllerCompletedHandler* self, HRESULT result,
                    ICoreWebView2Controller* controller) {
    const HWND window = ControllerHandler::of(self)->window;
    if (FAILED(result) || !controller) {
        reportBrowserFailure(window, "controller", FAILED(result) ? result : E_POINTER);
        return S_OK;
    }
    webController = ComRef<ICoreWebView2Controller>::share(controller);
    edgeView.attach(nullptr);
    coreWebView.reset();
    const HRESULT got = controller->lpVtbl->get_CoreWebView2(controller, coreWebView.put());
    if (FAILED(got) || !coreWebView) {
        reportBrowserFailure(window, "view", FAILED(got) ? got : E_POINTER);
        return S_OK;
    }
    ICoreWebView2* view = coreWebView.get();
    edgeView.attach(view);

    resizeWebView(window);
    // In place before the first page: no navigation passes unchecked.
    EventRegistrationToken token{};
    view->lpVtbl->add_NavigationStarting(view, NavigationStartingHandler::make(window).get(),
                                         &token);
    view->lpVtbl->add_NewWindowRequested(view, NewWindowHandler::make(window).get(), &token);
    onBrowserReady(&edgeView);
    view->lpVtbl->add_WebMessageReceived(view, MessageHandler::make(window).get(), &token);
    resizeWebView(window);
    view->lpVtbl->add_NavigationCompleted(view, NavigationHandler::make(window).get(), &token);
    return S_OK;
}

HRESULT STDMETHODCALLTYPE navigationCompleted(ICoreWebView2NavigationCompletedEventHandler*,
                                              ICoreWebView2*,
                                              ICoreWebView2NavigationCompletedEventArgs*) {
    // The logic asks the view for the page it shows.
    onNavigationCompleted();
    return S_OK;
}

HRESULT STDMETHODCALLTYPE webMessageReceived(ICoreWebView2WebMessageReceivedEventHandler*,
                                             ICoreWebView2*,
                                             ICoreWebView2WebMessageReceivedEventArgs* args) {
    // An unknown sender is nobody's: the logic ignores its message.
    const std::u16string source =
        runtimeText(args, &ICoreWebView2WebMessageReceivedEventArgsVtbl::get_Source);
    LPWSTR text = nullptr;
    if (!args || FAILED(args->lpVtbl->TryGetWebMessageAsString(args, &text))) {
        onWebMessageReceived(source, std::nullopt);
        return S_OK;
    }
    onWebMessageReceived(source, adoptRuntimeText(text));
    return S_OK;
}

HRESULT STDMETHODCALLTYPE navigationStarting(ICoreWebView2NavigationStartingEventHandler*,
                                             ICoreWebView2*,
                                             ICoreWebView2NavigationStartingEventArgs* args) {
    const std::u16string uri =
        runtimeText(args, &ICoreWebView2NavigationStartingEventArgsVtbl::get_Uri);
    if (!onTopLevelNavigation(uri) && args) args->lpVtbl->put_Cancel(args, TRUE);
    return S_OK;
}

HRESULT STDMETHODCALLTYPE newWindowRequested(ICoreWebView2NewWindowRequestedEventHandler*,
                                             ICoreWebView2*,
                                             ICoreWebView2NewWindowRequestedEventArgs* args) {
    if (!args) return S_OK;
    // Handled without a window of ours: the runtime opens none.
    args->lpVtbl->put_Handled(args, TRUE);
    onNewWindowRequested(runtimeText(args, &ICoreWebView2NewWindowRequestedEventArgsVtbl::get_Uri));
    return S_OK;
}

}  // namespace

void createWebView(HWND window) {
    logLine("Create WebView");
    failureText.clear();

    // Changed mode means another part of the process chose the apartment: the runtime will say
    // if it cannot live with it.
    const HRESULT apartment = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    if (FAILED(apartment)) logLine("CoInitializeEx failed - HRESULT " + hresultText(apartment));

    const HMODULE loader = LoadLibraryW(L"WebView2Loader.dll");
    if (!loader) {
        reportFailure(
            window, "Failed to load WebView2Loader.dll - Error " + std::to_string(GetLastError()),
            L"WebView2Loader.dll is missing beside Launcher.exe, so the launcher cannot "
            L"show its pages.\n\nThe >ORV< setup installs it: please run the setup again.");
        return;
    }
    const auto create = reinterpret_cast<CreateCoreWebView2EnvironmentWithOptionsFunction>(
        reinterpret_cast<void (*)()>(GetProcAddress(loader, createEnvironmentExport)));
    if (!create) {
        reportFailure(
            window, std::string("WebView2Loader.dll has no ") + createEnvironmentExport,
            L"WebView2Loader.dll beside Launcher.exe is damaged, so the launcher cannot "
            L"show its pages.\n\nThe >ORV< setup installs it: please run the setup again.");
        return;
    }
    const auto handler = EnvironmentHandler::make(window);
    const HRESULT started = create(nullptr, nullptr, nullptr, handler.get());
    if (FAILED(started)) reportBrowserFailure(window, "environment", started);
}

void resizeWebView(HWND window) {
    if (!webController) return;
    webController.get()->lpVtbl->put_Bounds(webController.get(), browserRect(window));
}

bool webViewControllerExists() {
    return static_cast<bool>(webController);
}

const std::wstring& webViewFailureText() {
    return failureText;
}

void releaseWebView() {
    if (webView == &edgeView) webView = nullptr;
    edgeView.attach(nullptr);
    coreWebView.reset();
    webController.reset();
    webEnvironment.reset();
}
