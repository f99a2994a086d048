// Anything the page may send. The commands that end the process, start programs or the game are
// left out; everything else (the repair, loadMore, unknown words) runs against a fake browser in
// a scratch installation. The progress and text messages built from any text stay valid JSON.
#include <nlohmann/json.hpp>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "core/user_paths.h"
#include "fuzz/fuzz_support.h"
#include "tests/support/fake_browser.h"
#include "web/page_messages.h"

namespace {

bool validJson(const std::u16string& wide) {
    std::string text;
    return utf8FromUtf16(wide, text) && !nlohmann::json::parse(text, nullptr, false).is_discarded();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool inScratch = [] {
        std::filesystem::current_path(scratchFolder());
        return true;
    }();
    (void)inScratch;
    std::u16string command;
    for (std::size_t i = 0; i + 1 < size; i += 2)
        command += static_cast<char16_t>(data[i] | (data[i + 1] << 8));
    if (size % 2) command += static_cast<char16_t>(data[size - 1]);

    static FakeBrowser browser;
    browser.view.posted.clear();
    if (command != u"close" && command != u"StartAstrovance" && command != u"OpenSettingsFolder")
        onWebMessage(&browser.window, command);

    postProgress(static_cast<std::int32_t>(size) - 50, static_cast<std::int32_t>(size % 101),
                 command);
    postText(u"ut1", command);
    for (const auto& posted : browser.view.posted) {
        std::string text;
        // A lone surrogate from the page may come back as it came; anything else must parse.
        if (utf8FromUtf16(posted, text) && !validJson(posted)) std::abort();
    }
    return 0;
}
