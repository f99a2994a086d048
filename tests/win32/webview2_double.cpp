#include "tests/win32/webview2_double.h"

#include <objbase.h>

#include <cstring>
#include <cwchar>
#include <set>
#include <string>

#include "shell/win32/webview2_abi.h"

namespace {

DoubleScript script;
DoubleRecord record;
std::wstring shownSource = L"about:blank";
std::set<void*> handedOut;

ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler* pendingEnvironment = nullptr;
ICoreWebView2CreateCoreWebView2ControllerCompletedHandler* pendingController = nullptr;
ICoreWebView2NavigationCompletedEventHandler* navigationHandler = nullptr;
ICoreWebView2WebMessageReceivedEventHandler* messageHandler = nullptr;
ICoreWebView2NavigationStartingEventHandler* startingHandler = nullptr;
ICoreWebView2NewWindowRequestedEventHandler* newWindowHandler = nullptr;

void event(char letter) {
    if (record.eventCount + 1 < static_cast<int>(sizeof record.events))
        record.events[record.eventCount++] = letter;
}

template <typename Interface>
void releaseHeld(Interface*& held) {
    if (held) held->lpVtbl->Release(held);
    held = nullptr;
}

template <typename Interface>
void hold(Interface*& slot, Interface* handler) {
    releaseHeld(slot);
    slot = handler;
    if (slot) slot->lpVtbl->AddRef(slot);
}

LPWSTR handOut(const std::wstring& text) {
    const std::size_t bytes = (text.size() + 1) * sizeof(wchar_t);
    auto* copy = static_cast<LPWSTR>(CoTaskMemAlloc(bytes));
    std::memcpy(copy, text.c_str(), bytes);
    handedOut.insert(copy);
    ++record.stringsHandedOut;
    return copy;
}

// Counts the frees of the texts handed out, whoever calls CoTaskMemFree.
class FreeCounter : public IMallocSpy {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID wanted, void** out) override {
        if (IsEqualIID(wanted, IID_IUnknown) || IsEqualIID(wanted, IID_IMallocSpy)) {
            *out = this;
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    SIZE_T STDMETHODCALLTYPE PreAlloc(SIZE_T size) override { return size; }
    void* STDMETHODCALLTYPE PostAlloc(void* actual) override { return actual; }
    void* STDMETHODCALLTYPE PreFree(void* request, BOOL) override {
        if (handedOut.erase(request)) ++record.stringsFreed;
        return request;
    }
    void STDMETHODCALLTYPE PostFree(BOOL) override {}
    SIZE_T STDMETHODCALLTYPE PreRealloc(void* request, SIZE_T size, void** newRequest,
                                        BOOL) override {
        *newRequest = request;
        return size;
    }
    void* STDMETHODCALLTYPE PostRealloc(void* actual, BOOL) override { return actual; }
    void* STDMETHODCALLTYPE PreGetSize(void* request, BOOL) override { return request; }
    SIZE_T STDMETHODCALLTYPE PostGetSize(SIZE_T size, BOOL) override { return size; }
    void* STDMETHODCALLTYPE PreDidAlloc(void* request, BOOL) override { return request; }
    int STDMETHODCALLTYPE PostDidAlloc(void*, BOOL, int actual) override { return actual; }
    void STDMETHODCALLTYPE PreHeapMinimize() override {}
    void STDMETHODCALLTYPE PostHeapMinimize() override {}
};
FreeCounter freeCounter;

// --- the runtime's objects: one of each, never freed ---

template <typename Interface>
ULONG STDMETHODCALLTYPE addRef(Interface*) {
    return 2;
}
template <typename Interface>
ULONG STDMETHODCALLTYPE release(Interface*) {
    return 1;
}

ICoreWebView2 view;
ICoreWebView2Controller controller;
ICoreWebView2Environment environment;
ICoreWebView2WebMessageReceivedEventArgs messageArgs;
const wchar_t* messageSource = nullptr;
const wchar_t* messageText = nullptr;
ICoreWebView2NavigationStartingEventArgs startingArgs;
ICoreWebView2NewWindowRequestedEventArgs newWindowArgs;
const wchar_t* requestedUri = nullptr;
BOOL requestRefused = FALSE;  // the Cancel or Handled the launcher put

HRESULT STDMETHODCALLTYPE getSource(ICoreWebView2*, LPWSTR* uri) {
    *uri = handOut(shownSource);
    return S_OK;
}
HRESULT STDMETHODCALLTYPE navigate(ICoreWebView2*, LPCWSTR uri) {
    event('N');
    if (record.navigationCount < 8)
        wcsncpy(record.navigations[record.navigationCount++], uri, 255);
    return S_OK;
}
HRESULT STDMETHODCALLTYPE addNavigationCompleted(ICoreWebView2*,
                                                 ICoreWebView2NavigationCompletedEventHandler* handler,
                                                 EventRegistrationToken*) {
    event('C');
    hold(navigationHandler, handler);
    return S_OK;
}
HRESULT STDMETHODCALLTYPE reload(ICoreWebView2*) {
    ++record.reloads;
    return S_OK;
}
HRESULT STDMETHODCALLTYPE postString(ICoreWebView2*, LPCWSTR) {
    ++record.posted;
    return S_OK;
}
HRESULT STDMETHODCALLTYPE addWebMessageReceived(ICoreWebView2*,
                                                ICoreWebView2WebMessageReceivedEventHandler* handler,
                                                EventRegistrationToken*) {
    event('M');
    hold(messageHandler, handler);
    return S_OK;
}

HRESULT STDMETHODCALLTYPE addNavigationStarting(
    ICoreWebView2*, ICoreWebView2NavigationStartingEventHandler* handler, EventRegistrationToken*) {
    event('S');
    hold(startingHandler, handler);
    return S_OK;
}
HRESULT STDMETHODCALLTYPE addNewWindowRequested(
    ICoreWebView2*, ICoreWebView2NewWindowRequestedEventHandler* handler, EventRegistrationToken*) {
    event('W');
    hold(newWindowHandler, handler);
    return S_OK;
}

// Only the methods the launcher calls; the other slots stay empty.
ICoreWebView2Vtbl makeViewVtbl() {
    ICoreWebView2Vtbl table{};
    table.AddRef = addRef<ICoreWebView2>;
    table.Release = release<ICoreWebView2>;
    table.get_Source = getSource;
    table.Navigate = navigate;
    table.add_NavigationCompleted = addNavigationCompleted;
    table.Reload = reload;
    table.PostWebMessageAsString = postString;
    table.add_WebMessageReceived = addWebMessageReceived;
    table.add_NavigationStarting = addNavigationStarting;
    table.add_NewWindowRequested = addNewWindowRequested;
    return table;
}
const ICoreWebView2Vtbl viewVtbl = makeViewVtbl();

HRESULT STDMETHODCALLTYPE putBounds(ICoreWebView2Controller*, RECT bounds) {
    event('B');
    if (record.boundsCount < 16) record.bounds[record.boundsCount++] = bounds;
    return S_OK;
}
HRESULT STDMETHODCALLTYPE getCoreWebView2(ICoreWebView2Controller*, ICoreWebView2** result) {
    event('V');
    view.lpVtbl->AddRef(&view);
    *result = &view;
    return S_OK;
}
ICoreWebView2ControllerVtbl makeControllerVtbl() {
    ICoreWebView2ControllerVtbl table{};
    table.AddRef = addRef<ICoreWebView2Controller>;
    table.Release = release<ICoreWebView2Controller>;
    table.put_Bounds = putBounds;
    table.get_CoreWebView2 = getCoreWebView2;
    return table;
}
const ICoreWebView2ControllerVtbl controllerVtbl = makeControllerVtbl();

// Results arrive later, through the message loop of the thread that asked.
constexpr UINT deliverEnvironment = WM_APP + 1, deliverController = WM_APP + 2;
HWND postman = nullptr;

LRESULT CALLBACK postmanProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == deliverEnvironment && pendingEnvironment) {
        auto* handler = pendingEnvironment;
        pendingEnvironment = nullptr;
        handler->lpVtbl->Invoke(handler, script.environmentResult,
                                script.environmentMissing ? nullptr : &environment);
        handler->lpVtbl->Release(handler);
        return 0;
    }
    if (message == deliverController && pendingController) {
        auto* handler = pendingController;
        pendingController = nullptr;
        handler->lpVtbl->Invoke(handler, script.controllerResult,
                                script.controllerMissing ? nullptr : &controller);
        handler->lpVtbl->Release(handler);
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

void post(UINT message) {
    if (!postman) {
        WNDCLASSW postmanClass{};
        postmanClass.lpfnWndProc = postmanProc;
        postmanClass.hInstance = GetModuleHandleW(L"WebView2Loader.dll");
        postmanClass.lpszClassName = L"ORVWebView2DoublePostman";
        RegisterClassW(&postmanClass);
        postman = CreateWindowExW(0, postmanClass.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                  nullptr, postmanClass.hInstance, nullptr);
    }
    PostMessageW(postman, message, 0, 0);
}

HRESULT STDMETHODCALLTYPE createController(
    ICoreWebView2Environment*, HWND parent,
    ICoreWebView2CreateCoreWebView2ControllerCompletedHandler* handler) {
    event('P');
    record.controllerParent = parent;
    if (FAILED(script.controllerCallResult)) return script.controllerCallResult;
    hold(pendingController, handler);
    post(deliverController);
    return S_OK;
}
ICoreWebView2EnvironmentVtbl makeEnvironmentVtbl() {
    ICoreWebView2EnvironmentVtbl table{};
    table.AddRef = addRef<ICoreWebView2Environment>;
    table.Release = release<ICoreWebView2Environment>;
    table.CreateCoreWebView2Controller = createController;
    return table;
}
const ICoreWebView2EnvironmentVtbl environmentVtbl = makeEnvironmentVtbl();

HRESULT STDMETHODCALLTYPE tryGetString(ICoreWebView2WebMessageReceivedEventArgs*, LPWSTR* text) {
    event('T');
    if (!messageText) {
        *text = nullptr;
        return E_INVALIDARG;
    }
    *text = handOut(messageText);
    return S_OK;
}
HRESULT STDMETHODCALLTYPE getMessageSource(ICoreWebView2WebMessageReceivedEventArgs*, LPWSTR* uri) {
    if (!messageSource) {
        *uri = nullptr;
        return E_FAIL;
    }
    *uri = handOut(messageSource);
    return S_OK;
}
ICoreWebView2WebMessageReceivedEventArgsVtbl makeMessageArgsVtbl() {
    ICoreWebView2WebMessageReceivedEventArgsVtbl table{};
    table.AddRef = addRef<ICoreWebView2WebMessageReceivedEventArgs>;
    table.Release = release<ICoreWebView2WebMessageReceivedEventArgs>;
    table.get_Source = getMessageSource;
    table.TryGetWebMessageAsString = tryGetString;
    return table;
}
const ICoreWebView2WebMessageReceivedEventArgsVtbl messageArgsVtbl = makeMessageArgsVtbl();

template <typename Args>
HRESULT STDMETHODCALLTYPE getRequestedUri(Args*, LPWSTR* uri) {
    *uri = handOut(requestedUri);
    return S_OK;
}
template <typename Args>
HRESULT STDMETHODCALLTYPE putRefused(Args*, BOOL refused) {
    requestRefused = refused;
    return S_OK;
}
ICoreWebView2NavigationStartingEventArgsVtbl makeStartingArgsVtbl() {
    ICoreWebView2NavigationStartingEventArgsVtbl table{};
    table.AddRef = addRef<ICoreWebView2NavigationStartingEventArgs>;
    table.Release = release<ICoreWebView2NavigationStartingEventArgs>;
    table.get_Uri = getRequestedUri<ICoreWebView2NavigationStartingEventArgs>;
    table.put_Cancel = putRefused<ICoreWebView2NavigationStartingEventArgs>;
    return table;
}
const ICoreWebView2NavigationStartingEventArgsVtbl startingArgsVtbl = makeStartingArgsVtbl();
ICoreWebView2NewWindowRequestedEventArgsVtbl makeNewWindowArgsVtbl() {
    ICoreWebView2NewWindowRequestedEventArgsVtbl table{};
    table.AddRef = addRef<ICoreWebView2NewWindowRequestedEventArgs>;
    table.Release = release<ICoreWebView2NewWindowRequestedEventArgs>;
    table.get_Uri = getRequestedUri<ICoreWebView2NewWindowRequestedEventArgs>;
    table.put_Handled = putRefused<ICoreWebView2NewWindowRequestedEventArgs>;
    return table;
}
const ICoreWebView2NewWindowRequestedEventArgsVtbl newWindowArgsVtbl = makeNewWindowArgsVtbl();

// Raises one event about `uri` and tells what the launcher put into its arguments.
template <typename Handler, typename Args>
int raiseRequest(Handler* handler, Args* args, const wchar_t* uri) {
    if (!handler) return -1;
    requestedUri = uri;
    requestRefused = FALSE;
    handler->lpVtbl->Invoke(handler, &view, args);
    requestedUri = nullptr;
    return requestRefused ? 1 : 0;
}

}  // namespace

extern "C" {

__declspec(dllexport) HRESULT STDAPICALLTYPE CreateCoreWebView2EnvironmentWithOptions(
    PCWSTR browserExecutableFolder, PCWSTR userDataFolder,
    ICoreWebView2EnvironmentOptions* environmentOptions,
    ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler* handler) {
    event('E');
    record.environmentArgumentsNull =
        !browserExecutableFolder && !userDataFolder && !environmentOptions;
    if (FAILED(script.createResult)) return script.createResult;
    hold(pendingEnvironment, handler);
    post(deliverEnvironment);
    return S_OK;
}

__declspec(dllexport) void WINAPI doubleReset(const DoubleScript* newScript) {
    static const bool spying = SUCCEEDED(CoRegisterMallocSpy(&freeCounter));
    (void)spying;
    view.lpVtbl = &viewVtbl;
    controller.lpVtbl = &controllerVtbl;
    environment.lpVtbl = &environmentVtbl;
    messageArgs.lpVtbl = &messageArgsVtbl;
    startingArgs.lpVtbl = &startingArgsVtbl;
    newWindowArgs.lpVtbl = &newWindowArgsVtbl;
    script = *newScript;
    record = DoubleRecord{};
    shownSource = L"about:blank";
    releaseHeld(pendingEnvironment);
    releaseHeld(pendingController);
    releaseHeld(navigationHandler);
    releaseHeld(messageHandler);
    releaseHeld(startingHandler);
    releaseHeld(newWindowHandler);
}

__declspec(dllexport) const DoubleRecord* WINAPI doubleRecord() { return &record; }

__declspec(dllexport) void WINAPI doubleSetSource(const wchar_t* url) { shownSource = url; }

__declspec(dllexport) bool WINAPI doubleCompleteNavigation() {
    if (!navigationHandler) return false;
    navigationHandler->lpVtbl->Invoke(navigationHandler, &view, nullptr);
    return true;
}

__declspec(dllexport) bool WINAPI doubleReceiveMessage(const wchar_t* source, const wchar_t* text) {
    if (!messageHandler) return false;
    messageSource = source;
    messageText = text;
    messageHandler->lpVtbl->Invoke(messageHandler, &view, &messageArgs);
    messageSource = messageText = nullptr;
    return true;
}

__declspec(dllexport) int WINAPI doubleStartNavigation(const wchar_t* uri) {
    return raiseRequest(startingHandler, &startingArgs, uri);
}

__declspec(dllexport) int WINAPI doubleRequestNewWindow(const wchar_t* uri) {
    return raiseRequest(newWindowHandler, &newWindowArgs, uri);
}
}
