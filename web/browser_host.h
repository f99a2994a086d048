// What the launcher does when its browser reports: ready, page loaded, message received.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

class BrowserView;

// The URL of the page the browser last reported loaded.
extern std::u16string currentUrl;
// Steady-clock nanoseconds of the client page's last settings and account sync.
extern std::int64_t lastClientSync;

std::u16string patcherPageUrl();  // as it reads once loaded
std::u16string reportPageUrl();
std::u16string clientPageUrl();   // as it reads once loaded, without the token
// The client page as navigated to: with this installation's token.
std::u16string clientPageUrlWithToken();

// The browser exists: show the patcher page.
void onBrowserReady(BrowserView* view);

// A navigation finished: the patcher page starts the timer and a patch run, the report page gets
// its data, the client page syncs settings and account (at most once a second).
void onNavigationCompleted();

// A message from the page; one that is not a string arrives as nothing and is ignored.
void onWebMessageReceived(const std::optional<std::u16string>& message);
