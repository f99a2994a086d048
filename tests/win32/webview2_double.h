// The stand-in WebView2Loader.dll that the Windows tests build and put beside their program. It
// implements the environment, controller and view with the launcher's own declarations, delivers
// the two creation results through the message loop as the runtime does, and records every call.
#pragma once

#include <windows.h>

// What the double answers.
struct DoubleScript {
    HRESULT createResult = S_OK;            // returned by CreateCoreWebView2EnvironmentWithOptions
    HRESULT environmentResult = S_OK;       // handed to the environment handler
    bool environmentMissing = false;        // ... with no environment
    HRESULT controllerCallResult = S_OK;    // returned by CreateCoreWebView2Controller
    HRESULT controllerResult = S_OK;        // handed to the controller handler
    bool controllerMissing = false;         // ... with no controller
};

// What the launcher did to it. `events` lists the calls in order, one letter each: E environment
// requested, P controller requested, V view fetched, B bounds set, N navigate, M message handler
// added, C navigation handler added, S navigation-starting handler added, W new-window handler
// added, T message text asked.
struct DoubleRecord {
    char events[128];
    int eventCount;
    bool environmentArgumentsNull;  // browser folder, user data folder and options
    HWND controllerParent;
    RECT bounds[16];
    int boundsCount;
    wchar_t navigations[8][256];
    int navigationCount;
    int reloads;
    int posted;
    int stringsHandedOut;
    int stringsFreed;  // of those, freed through CoTaskMemFree
};

extern "C" {
// Forgets everything and follows `script` from now on.
using DoubleResetFunction = void(WINAPI*)(const DoubleScript* script);
using DoubleRecordFunction = const DoubleRecord*(WINAPI*)();
// The page the view reports as shown.
using DoubleSetSourceFunction = void(WINAPI*)(const wchar_t* url);
// Raises the navigation-completed event; false when no handler is registered.
using DoubleCompleteNavigationFunction = bool(WINAPI*)();
// Raises a page message posted by the document at `source` (null: the runtime cannot say): a
// string, or with null text something that is not one.
using DoubleReceiveMessageFunction = bool(WINAPI*)(const wchar_t* source, const wchar_t* text);
// Raises navigation starting for `uri`: -1 when no handler is registered, else 1 when the
// launcher cancelled the navigation and 0 when it let it go on.
using DoubleStartNavigationFunction = int(WINAPI*)(const wchar_t* uri);
// Raises a request for a new window showing `uri`: -1 when no handler is registered, else 1 when
// the launcher marked it handled (no window opens) and 0 when not.
using DoubleRequestNewWindowFunction = int(WINAPI*)(const wchar_t* uri);
}
