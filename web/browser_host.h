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
std::u16string clientPageUrl();  // as it reads once loaded, without the token
// The client page as navigated to: with this installation's token.
std::u16string clientPageUrlWithToken();

// The browser exists: show the patcher page.
void onBrowserReady(BrowserView* view);

// A navigation finished: the patcher page starts the timer and a patch run, the report page gets
// its data, the client page syncs settings and account (at most once a second).
void onNavigationCompleted();

// A message from the page, posted by the document at `source`. Only the web service's own
// documents command the launcher; a message from any other is logged and ignored. One that is
// not a string arrives as nothing and is ignored.
void onWebMessageReceived(const std::u16string& source,
                          const std::optional<std::u16string>& message);

// The browser is about to show `url` as its page, whoever asked (a link, a script, a redirect,
// the launcher). True when it may: the web service's pages stay in the launcher, where the
// player has no address bar and no way back; other http and https pages go to the desktop's
// browser and anything else is refused.
bool onTopLevelNavigation(const std::u16string& url);

// A frame of the page, possibly the top one, is about to load `url`: for browsers that do not
// say which frame navigates. Frames may show other sites; schemes that no page needs in a frame
// are refused.
bool onFrameNavigation(const std::u16string& url);

// The page asked for a window of its own (target="_blank", window.open). None is made: an http
// or https page goes to the desktop's browser, anything else is refused.
void onNewWindowRequested(const std::u16string& url);

// When set, pages for the desktop's browser go to this function instead: the test suites use it
// to see them. The launcher itself never sets it.
using BrowserOpener = void (*)(const std::u16string& url);
inline BrowserOpener browserOpener = nullptr;
