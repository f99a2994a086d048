// The launcher window's Edge browser, made through WebView2Loader.dll beside the executable. The
// host only translates: what a ready browser, a loaded page, a page message, a navigation or a
// request for a new window means is decided in web/browser_host.
#pragma once

#include <windows.h>

#include <string>

// Starts making the browser inside `window` and returns at once; the environment and the
// controller arrive later through the thread's message loop.
void createWebView(HWND window);

// Gives the browser the client area of `window` less the rim; nothing before the browser exists.
void resizeWebView(HWND window);

bool webViewControllerExists();

// Why the browser could not be made, for the window to show in its place; empty while nothing
// has gone wrong.
const std::wstring& webViewFailureText();

// Lets go of the browser's objects; the loader stays loaded.
void releaseWebView();
