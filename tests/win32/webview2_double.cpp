// The stand-in WebView2Loader.dll beside the Windows tests. Its export, under the plain name the
// real loader has, hands the call to the fake runtime that the test program installed.
#include <type_traits>

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

// The launcher calls the export through this type: a differing signature fails the build.
static_assert(std::is_same_v<decltype(&CreateCoreWebView2EnvironmentWithOptions),
                             CreateCoreWebView2EnvironmentWithOptionsFunction>);
