// The installation report over any Hashes.ini: every page sent is valid JSON, an array of items
// with an id, a path and a hash.
#include <nlohmann/json.hpp>

#include <cstdlib>

#include "core/user_paths.h"
#include "fuzz/fuzz_support.h"
#include "tests/support/fake_browser.h"
#include "web/page_messages.h"
#include "web/report_feed.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    scratchFolder();
    writeBytes(hashesPath.get(), bytesText(data, size));
    static FakeBrowser browser;
    browser.view.posted.clear();
    reportPage = size % 3;
    sendReportPage();
    if (browser.view.posted.size() != 1) std::abort();
    std::string text;
    if (!utf8FromUtf16(browser.view.posted.front(), text)) std::abort();
    const auto parsed = nlohmann::json::parse(text, nullptr, false);
    if (parsed.is_discarded() || !parsed.is_array() || parsed.size() > 500) std::abort();
    for (const auto& item : parsed)
        if (!item.is_object() || !item["id"].is_number() || !item["path"].is_string() ||
            !item["hash"].is_string())
            std::abort();
    return 0;
}
