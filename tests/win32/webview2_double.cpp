// The stand-in WebView2Loader.dll beside the Windows tests: its export hands the call to the fake
// runtime that the test program installed.
#include "shell/win32/webview2_abi.h"

namespace {
CreateCoreWebView2EnvironmentWithOptionsFunction runtime = nullptr;
}

extern "C" {
__declspec(dllexport) void WINAPI
    doubleInstall(CreateCoreWebView2EnvironmentWithOptionsFunction fake) {
    runtime = fake;
}

__declspec(dllexport) HRESULT STDAPICALLTYPE CreateCoreWebView2EnvironmentWithOptions(
    PCWSTR browserFolder, PCWSTR dataFolder, ICoreWebView2EnvironmentOptions* options,
    ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler* handler) {
    return runtime ? runtime(browserFolder, dataFolder, options, handler) : E_NOTIMPL;
}
}
