#include "tests/support/fake_browser.h"

#include "web/browser_host.h"

void FakeBrowser::load(const std::u16string& url) {
    view.shownUrl = url;
    onNavigationCompleted();
}
