// The few WebView2 COM interfaces the launcher uses, declared here because the SDK header is not
// part of the cross build. Each interface is a C-style vtable whose slot order is pinned by the
// static_asserts at the end of its declaration: a wrong slot fails the build, not a player's run.
#pragma once

#include <windows.h>

#include <eventtoken.h>
#include <unknwn.h>

#include <cstddef>

// Every method is __stdcall with `this` first: the COM calling convention on x86 as well.
#define ORV_COM_METHOD(name, ...) HRESULT(STDMETHODCALLTYPE* name)(__VA_ARGS__)

// QueryInterface, AddRef and Release: slots 0-2 of every interface.
#define ORV_IUNKNOWN_SLOTS(Interface)                                       \
    HRESULT(STDMETHODCALLTYPE* QueryInterface)(Interface*, REFIID, void**); \
    ULONG(STDMETHODCALLTYPE* AddRef)(Interface*);                           \
    ULONG(STDMETHODCALLTYPE* Release)(Interface*)

#define ORV_SLOT(Interface, method, slot)                                      \
    static_assert(offsetof(Interface##Vtbl, method) == (slot) * sizeof(void*), \
                  #Interface "::" #method " must be slot " #slot)

struct ICoreWebView2;
struct ICoreWebView2Controller;
struct ICoreWebView2Environment;
struct ICoreWebView2EnvironmentOptions;
struct ICoreWebView2NavigationCompletedEventArgs;
struct ICoreWebView2NavigationStartingEventArgs;
struct ICoreWebView2NewWindowRequestedEventArgs;
struct ICoreWebView2WebMessageReceivedEventArgs;
struct ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler;
struct ICoreWebView2CreateCoreWebView2ControllerCompletedHandler;
struct ICoreWebView2NavigationCompletedEventHandler;
struct ICoreWebView2NavigationStartingEventHandler;
struct ICoreWebView2NewWindowRequestedEventHandler;
struct ICoreWebView2WebMessageReceivedEventHandler;

// Unused slots are plain pointers: they only keep the used ones in place.
using UnusedSlot = void*;

// --- completion and event handlers (implemented by the launcher) ---

struct ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandlerVtbl {
    ORV_IUNKNOWN_SLOTS(ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler);
    ORV_COM_METHOD(Invoke, ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler*,
                   HRESULT errorCode, ICoreWebView2Environment* result);
};
struct ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler {
    const ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandlerVtbl* lpVtbl;
};
ORV_SLOT(ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler, Invoke, 3);

struct ICoreWebView2CreateCoreWebView2ControllerCompletedHandlerVtbl {
    ORV_IUNKNOWN_SLOTS(ICoreWebView2CreateCoreWebView2ControllerCompletedHandler);
    ORV_COM_METHOD(Invoke, ICoreWebView2CreateCoreWebView2ControllerCompletedHandler*,
                   HRESULT errorCode, ICoreWebView2Controller* result);
};
struct ICoreWebView2CreateCoreWebView2ControllerCompletedHandler {
    const ICoreWebView2CreateCoreWebView2ControllerCompletedHandlerVtbl* lpVtbl;
};
ORV_SLOT(ICoreWebView2CreateCoreWebView2ControllerCompletedHandler, Invoke, 3);

struct ICoreWebView2NavigationCompletedEventHandlerVtbl {
    ORV_IUNKNOWN_SLOTS(ICoreWebView2NavigationCompletedEventHandler);
    ORV_COM_METHOD(Invoke, ICoreWebView2NavigationCompletedEventHandler*, ICoreWebView2* sender,
                   ICoreWebView2NavigationCompletedEventArgs* args);
};
struct ICoreWebView2NavigationCompletedEventHandler {
    const ICoreWebView2NavigationCompletedEventHandlerVtbl* lpVtbl;
};
ORV_SLOT(ICoreWebView2NavigationCompletedEventHandler, Invoke, 3);

struct ICoreWebView2NavigationStartingEventHandlerVtbl {
    ORV_IUNKNOWN_SLOTS(ICoreWebView2NavigationStartingEventHandler);
    ORV_COM_METHOD(Invoke, ICoreWebView2NavigationStartingEventHandler*, ICoreWebView2* sender,
                   ICoreWebView2NavigationStartingEventArgs* args);
};
struct ICoreWebView2NavigationStartingEventHandler {
    const ICoreWebView2NavigationStartingEventHandlerVtbl* lpVtbl;
};
ORV_SLOT(ICoreWebView2NavigationStartingEventHandler, Invoke, 3);

struct ICoreWebView2NewWindowRequestedEventHandlerVtbl {
    ORV_IUNKNOWN_SLOTS(ICoreWebView2NewWindowRequestedEventHandler);
    ORV_COM_METHOD(Invoke, ICoreWebView2NewWindowRequestedEventHandler*, ICoreWebView2* sender,
                   ICoreWebView2NewWindowRequestedEventArgs* args);
};
struct ICoreWebView2NewWindowRequestedEventHandler {
    const ICoreWebView2NewWindowRequestedEventHandlerVtbl* lpVtbl;
};
ORV_SLOT(ICoreWebView2NewWindowRequestedEventHandler, Invoke, 3);

struct ICoreWebView2WebMessageReceivedEventHandlerVtbl {
    ORV_IUNKNOWN_SLOTS(ICoreWebView2WebMessageReceivedEventHandler);
    ORV_COM_METHOD(Invoke, ICoreWebView2WebMessageReceivedEventHandler*, ICoreWebView2* sender,
                   ICoreWebView2WebMessageReceivedEventArgs* args);
};
struct ICoreWebView2WebMessageReceivedEventHandler {
    const ICoreWebView2WebMessageReceivedEventHandlerVtbl* lpVtbl;
};
ORV_SLOT(ICoreWebView2WebMessageReceivedEventHandler, Invoke, 3);

// --- event arguments (implemented by the runtime) ---

struct ICoreWebView2NavigationCompletedEventArgsVtbl {
    ORV_IUNKNOWN_SLOTS(ICoreWebView2NavigationCompletedEventArgs);
    ORV_COM_METHOD(get_IsSuccess, ICoreWebView2NavigationCompletedEventArgs*, BOOL* isSuccess);
    ORV_COM_METHOD(get_WebErrorStatus, ICoreWebView2NavigationCompletedEventArgs*, int* status);
    ORV_COM_METHOD(get_NavigationId, ICoreWebView2NavigationCompletedEventArgs*, UINT64* id);
};
struct ICoreWebView2NavigationCompletedEventArgs {
    const ICoreWebView2NavigationCompletedEventArgsVtbl* lpVtbl;
};
ORV_SLOT(ICoreWebView2NavigationCompletedEventArgs, get_IsSuccess, 3);
ORV_SLOT(ICoreWebView2NavigationCompletedEventArgs, get_NavigationId, 5);

struct ICoreWebView2NavigationStartingEventArgsVtbl {
    ORV_IUNKNOWN_SLOTS(ICoreWebView2NavigationStartingEventArgs);
    ORV_COM_METHOD(get_Uri, ICoreWebView2NavigationStartingEventArgs*, LPWSTR* uri);
    ORV_COM_METHOD(get_IsUserInitiated, ICoreWebView2NavigationStartingEventArgs*,
                   BOOL* isUserInitiated);
    ORV_COM_METHOD(get_IsRedirected, ICoreWebView2NavigationStartingEventArgs*, BOOL* isRedirected);
    UnusedSlot get_RequestHeaders;
    ORV_COM_METHOD(get_Cancel, ICoreWebView2NavigationStartingEventArgs*, BOOL* cancel);
    ORV_COM_METHOD(put_Cancel, ICoreWebView2NavigationStartingEventArgs*, BOOL cancel);
    ORV_COM_METHOD(get_NavigationId, ICoreWebView2NavigationStartingEventArgs*, UINT64* id);
};
struct ICoreWebView2NavigationStartingEventArgs {
    const ICoreWebView2NavigationStartingEventArgsVtbl* lpVtbl;
};
ORV_SLOT(ICoreWebView2NavigationStartingEventArgs, get_Uri, 3);
ORV_SLOT(ICoreWebView2NavigationStartingEventArgs, get_RequestHeaders, 6);
ORV_SLOT(ICoreWebView2NavigationStartingEventArgs, put_Cancel, 8);
ORV_SLOT(ICoreWebView2NavigationStartingEventArgs, get_NavigationId, 9);

struct ICoreWebView2NewWindowRequestedEventArgsVtbl {
    ORV_IUNKNOWN_SLOTS(ICoreWebView2NewWindowRequestedEventArgs);
    ORV_COM_METHOD(get_Uri, ICoreWebView2NewWindowRequestedEventArgs*, LPWSTR* uri);
    UnusedSlot put_NewWindow;
    UnusedSlot get_NewWindow;
    // Handled without a new window: no window opens and window.open gives the page a dummy.
    ORV_COM_METHOD(put_Handled, ICoreWebView2NewWindowRequestedEventArgs*, BOOL handled);
    ORV_COM_METHOD(get_Handled, ICoreWebView2NewWindowRequestedEventArgs*, BOOL* handled);
    ORV_COM_METHOD(get_IsUserInitiated, ICoreWebView2NewWindowRequestedEventArgs*,
                   BOOL* isUserInitiated);
    UnusedSlot GetDeferral;
    UnusedSlot get_WindowFeatures;
};
struct ICoreWebView2NewWindowRequestedEventArgs {
    const ICoreWebView2NewWindowRequestedEventArgsVtbl* lpVtbl;
};
ORV_SLOT(ICoreWebView2NewWindowRequestedEventArgs, get_Uri, 3);
ORV_SLOT(ICoreWebView2NewWindowRequestedEventArgs, put_Handled, 6);
ORV_SLOT(ICoreWebView2NewWindowRequestedEventArgs, get_IsUserInitiated, 8);
ORV_SLOT(ICoreWebView2NewWindowRequestedEventArgs, get_WindowFeatures, 10);

struct ICoreWebView2WebMessageReceivedEventArgsVtbl {
    ORV_IUNKNOWN_SLOTS(ICoreWebView2WebMessageReceivedEventArgs);
    ORV_COM_METHOD(get_Source, ICoreWebView2WebMessageReceivedEventArgs*, LPWSTR* source);
    ORV_COM_METHOD(get_WebMessageAsJson, ICoreWebView2WebMessageReceivedEventArgs*, LPWSTR* json);
    // E_INVALIDARG when the page posted something other than a string.
    ORV_COM_METHOD(TryGetWebMessageAsString, ICoreWebView2WebMessageReceivedEventArgs*,
                   LPWSTR* message);
};
struct ICoreWebView2WebMessageReceivedEventArgs {
    const ICoreWebView2WebMessageReceivedEventArgsVtbl* lpVtbl;
};
ORV_SLOT(ICoreWebView2WebMessageReceivedEventArgs, get_Source, 3);
ORV_SLOT(ICoreWebView2WebMessageReceivedEventArgs, TryGetWebMessageAsString, 5);

// --- environment, controller and view (implemented by the runtime) ---

struct ICoreWebView2EnvironmentVtbl {
    ORV_IUNKNOWN_SLOTS(ICoreWebView2Environment);
    ORV_COM_METHOD(CreateCoreWebView2Controller, ICoreWebView2Environment*, HWND parentWindow,
                   ICoreWebView2CreateCoreWebView2ControllerCompletedHandler* handler);
    UnusedSlot CreateWebResourceResponse;
    UnusedSlot get_BrowserVersionString;
    UnusedSlot add_NewBrowserVersionAvailable;
    UnusedSlot remove_NewBrowserVersionAvailable;
};
struct ICoreWebView2Environment {
    const ICoreWebView2EnvironmentVtbl* lpVtbl;
};
ORV_SLOT(ICoreWebView2Environment, CreateCoreWebView2Controller, 3);
ORV_SLOT(ICoreWebView2Environment, remove_NewBrowserVersionAvailable, 7);

struct ICoreWebView2ControllerVtbl {
    ORV_IUNKNOWN_SLOTS(ICoreWebView2Controller);
    ORV_COM_METHOD(get_IsVisible, ICoreWebView2Controller*, BOOL* isVisible);
    ORV_COM_METHOD(put_IsVisible, ICoreWebView2Controller*, BOOL isVisible);
    ORV_COM_METHOD(get_Bounds, ICoreWebView2Controller*, RECT* bounds);
    // By value: on x86 the callee pops `this` and the four fields, 20 bytes.
    ORV_COM_METHOD(put_Bounds, ICoreWebView2Controller*, RECT bounds);
    ORV_COM_METHOD(get_ZoomFactor, ICoreWebView2Controller*, double* zoomFactor);
    ORV_COM_METHOD(put_ZoomFactor, ICoreWebView2Controller*, double zoomFactor);
    UnusedSlot add_ZoomFactorChanged;
    UnusedSlot remove_ZoomFactorChanged;
    ORV_COM_METHOD(SetBoundsAndZoomFactor, ICoreWebView2Controller*, RECT bounds,
                   double zoomFactor);
    UnusedSlot MoveFocus;
    UnusedSlot add_MoveFocusRequested;
    UnusedSlot remove_MoveFocusRequested;
    UnusedSlot add_GotFocus;
    UnusedSlot remove_GotFocus;
    UnusedSlot add_LostFocus;
    UnusedSlot remove_LostFocus;
    UnusedSlot add_AcceleratorKeyPressed;
    UnusedSlot remove_AcceleratorKeyPressed;
    ORV_COM_METHOD(get_ParentWindow, ICoreWebView2Controller*, HWND* parentWindow);
    ORV_COM_METHOD(put_ParentWindow, ICoreWebView2Controller*, HWND parentWindow);
    ORV_COM_METHOD(NotifyParentWindowPositionChanged, ICoreWebView2Controller*);
    ORV_COM_METHOD(Close, ICoreWebView2Controller*);
    ORV_COM_METHOD(get_CoreWebView2, ICoreWebView2Controller*, ICoreWebView2** coreWebView2);
};
struct ICoreWebView2Controller {
    const ICoreWebView2ControllerVtbl* lpVtbl;
};
ORV_SLOT(ICoreWebView2Controller, get_IsVisible, 3);
ORV_SLOT(ICoreWebView2Controller, put_Bounds, 6);
ORV_SLOT(ICoreWebView2Controller, SetBoundsAndZoomFactor, 11);
ORV_SLOT(ICoreWebView2Controller, remove_AcceleratorKeyPressed, 20);
ORV_SLOT(ICoreWebView2Controller, get_ParentWindow, 21);
ORV_SLOT(ICoreWebView2Controller, Close, 24);
ORV_SLOT(ICoreWebView2Controller, get_CoreWebView2, 25);

struct ICoreWebView2Vtbl {
    ORV_IUNKNOWN_SLOTS(ICoreWebView2);
    UnusedSlot get_Settings;
    ORV_COM_METHOD(get_Source, ICoreWebView2*, LPWSTR* uri);
    ORV_COM_METHOD(Navigate, ICoreWebView2*, LPCWSTR uri);
    ORV_COM_METHOD(NavigateToString, ICoreWebView2*, LPCWSTR htmlContent);
    ORV_COM_METHOD(add_NavigationStarting, ICoreWebView2*,
                   ICoreWebView2NavigationStartingEventHandler* handler,
                   EventRegistrationToken* token);
    ORV_COM_METHOD(remove_NavigationStarting, ICoreWebView2*, EventRegistrationToken token);
    UnusedSlot add_ContentLoading;
    UnusedSlot remove_ContentLoading;
    UnusedSlot add_SourceChanged;
    UnusedSlot remove_SourceChanged;
    UnusedSlot add_HistoryChanged;
    UnusedSlot remove_HistoryChanged;
    ORV_COM_METHOD(add_NavigationCompleted, ICoreWebView2*,
                   ICoreWebView2NavigationCompletedEventHandler* handler,
                   EventRegistrationToken* token);
    ORV_COM_METHOD(remove_NavigationCompleted, ICoreWebView2*, EventRegistrationToken token);
    UnusedSlot add_FrameNavigationStarting;
    UnusedSlot remove_FrameNavigationStarting;
    UnusedSlot add_FrameNavigationCompleted;
    UnusedSlot remove_FrameNavigationCompleted;
    UnusedSlot add_ScriptDialogOpening;
    UnusedSlot remove_ScriptDialogOpening;
    UnusedSlot add_PermissionRequested;
    UnusedSlot remove_PermissionRequested;
    UnusedSlot add_ProcessFailed;
    UnusedSlot remove_ProcessFailed;
    UnusedSlot AddScriptToExecuteOnDocumentCreated;
    UnusedSlot RemoveScriptToExecuteOnDocumentCreated;
    UnusedSlot ExecuteScript;
    UnusedSlot CapturePreview;
    ORV_COM_METHOD(Reload, ICoreWebView2*);
    ORV_COM_METHOD(PostWebMessageAsJson, ICoreWebView2*, LPCWSTR webMessageAsJson);
    ORV_COM_METHOD(PostWebMessageAsString, ICoreWebView2*, LPCWSTR webMessageAsString);
    ORV_COM_METHOD(add_WebMessageReceived, ICoreWebView2*,
                   ICoreWebView2WebMessageReceivedEventHandler* handler,
                   EventRegistrationToken* token);
    ORV_COM_METHOD(remove_WebMessageReceived, ICoreWebView2*, EventRegistrationToken token);
    UnusedSlot CallDevToolsProtocolMethod;
    UnusedSlot get_BrowserProcessId;
    UnusedSlot get_CanGoBack;
    UnusedSlot get_CanGoForward;
    UnusedSlot GoBack;
    UnusedSlot GoForward;
    UnusedSlot GetDevToolsProtocolEventReceiver;
    UnusedSlot Stop;
    ORV_COM_METHOD(add_NewWindowRequested, ICoreWebView2*,
                   ICoreWebView2NewWindowRequestedEventHandler* handler,
                   EventRegistrationToken* token);
    ORV_COM_METHOD(remove_NewWindowRequested, ICoreWebView2*, EventRegistrationToken token);
};
struct ICoreWebView2 {
    const ICoreWebView2Vtbl* lpVtbl;
};
ORV_SLOT(ICoreWebView2, get_Source, 4);
ORV_SLOT(ICoreWebView2, Navigate, 5);
ORV_SLOT(ICoreWebView2, add_NavigationStarting, 7);
ORV_SLOT(ICoreWebView2, remove_NavigationStarting, 8);
ORV_SLOT(ICoreWebView2, add_NavigationCompleted, 15);
ORV_SLOT(ICoreWebView2, remove_FrameNavigationCompleted, 20);
ORV_SLOT(ICoreWebView2, remove_ProcessFailed, 26);
ORV_SLOT(ICoreWebView2, CapturePreview, 30);
ORV_SLOT(ICoreWebView2, Reload, 31);
ORV_SLOT(ICoreWebView2, PostWebMessageAsString, 33);
ORV_SLOT(ICoreWebView2, add_WebMessageReceived, 34);
ORV_SLOT(ICoreWebView2, remove_WebMessageReceived, 35);
ORV_SLOT(ICoreWebView2, CallDevToolsProtocolMethod, 36);
ORV_SLOT(ICoreWebView2, Stop, 43);
ORV_SLOT(ICoreWebView2, add_NewWindowRequested, 44);
ORV_SLOT(ICoreWebView2, remove_NewWindowRequested, 45);

static_assert(sizeof(EventRegistrationToken) == 8, "EventRegistrationToken is one INT64");
static_assert(sizeof(RECT) == 16 && sizeof(BOOL) == 4, "put_Bounds passes 16 bytes of RECT");

// The loader's one export, looked up by its plain name.
using CreateCoreWebView2EnvironmentWithOptionsFunction = HRESULT(STDAPICALLTYPE*)(
    PCWSTR browserExecutableFolder, PCWSTR userDataFolder,
    ICoreWebView2EnvironmentOptions* environmentOptions,
    ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler* environmentCreatedHandler);
inline constexpr char createEnvironmentExport[] = "CreateCoreWebView2EnvironmentWithOptions";

// Interface ids, compared with IsEqualIID.
inline constexpr IID IID_ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler = {
    0x4e8a3389, 0xc9d8, 0x4bd2, {0xb6, 0xb5, 0x12, 0x4f, 0xee, 0x6c, 0xc1, 0x4d}};
inline constexpr IID IID_ICoreWebView2Environment = {
    0xb96d755e, 0x0319, 0x4e92, {0xa2, 0x96, 0x23, 0x43, 0x6f, 0x46, 0xa1, 0xfc}};
inline constexpr IID IID_ICoreWebView2CreateCoreWebView2ControllerCompletedHandler = {
    0x6c4819f3, 0xc9b7, 0x4260, {0x81, 0x27, 0xc9, 0xf5, 0xbd, 0xe7, 0xf6, 0x8c}};
inline constexpr IID IID_ICoreWebView2NavigationCompletedEventHandler = {
    0xd33a35bf, 0x1c49, 0x4f98, {0x93, 0xab, 0x00, 0x6e, 0x05, 0x33, 0xfe, 0x1c}};
inline constexpr IID IID_ICoreWebView2NavigationCompletedEventArgs = {
    0x30d68b7d, 0x20d9, 0x4752, {0xa9, 0xca, 0xec, 0x84, 0x48, 0xfb, 0xb5, 0xc1}};
inline constexpr IID IID_ICoreWebView2NavigationStartingEventHandler = {
    0x9adbe429, 0xf36d, 0x432b, {0x9d, 0xdc, 0xf8, 0x88, 0x1f, 0xbd, 0x76, 0xe3}};
inline constexpr IID IID_ICoreWebView2NavigationStartingEventArgs = {
    0x5b495469, 0xe119, 0x438a, {0x9b, 0x18, 0x76, 0x04, 0xf2, 0x5f, 0x2e, 0x49}};
inline constexpr IID IID_ICoreWebView2NewWindowRequestedEventHandler = {
    0xd4c185fe, 0xc81c, 0x4989, {0x97, 0xaf, 0x2d, 0x3f, 0xa7, 0xab, 0x56, 0x51}};
inline constexpr IID IID_ICoreWebView2NewWindowRequestedEventArgs = {
    0x34acb11c, 0xfc37, 0x4418, {0x91, 0x32, 0xf9, 0xc2, 0x1d, 0x1e, 0xaf, 0xb9}};
inline constexpr IID IID_ICoreWebView2WebMessageReceivedEventHandler = {
    0x57213f19, 0x00e6, 0x49fa, {0x8e, 0x07, 0x89, 0x8e, 0xa0, 0x1e, 0xcb, 0xd2}};
inline constexpr IID IID_ICoreWebView2WebMessageReceivedEventArgs = {
    0x0f99a40c, 0xe962, 0x4207, {0x9e, 0x92, 0xe3, 0xd5, 0x42, 0xef, 0xf8, 0x49}};
inline constexpr IID IID_ICoreWebView2Controller = {
    0x4d00c0d1, 0x9434, 0x4eb6, {0x80, 0x78, 0x86, 0x97, 0xa5, 0x60, 0x33, 0x4f}};
inline constexpr IID IID_ICoreWebView2 = {
    0x76eceacb, 0x0462, 0x4d94, {0xac, 0x83, 0x42, 0x3a, 0x67, 0x93, 0x77, 0x5e}};

#undef ORV_SLOT
#undef ORV_IUNKNOWN_SLOTS
#undef ORV_COM_METHOD
