#include "web/report_feed.h"

#include <fstream>
#include <string>

#include "core/ini_document.h"
#include "core/log.h"
#include "core/text.h"
#include "core/user_paths.h"
#include "web/browser_view.h"
#include "web/json_text.h"
#include "web/page_messages.h"

namespace {

constexpr std::int64_t pageSize = 500;

std::u16string item(std::int64_t number, const std::string& line) {
    const auto equals = line.find('=');
    const std::string path = IniDocument::trim(line.substr(0, equals));
    const std::string hash =
        equals == std::string::npos ? "" : IniDocument::trim(line.substr(equals + 1));
    const std::string id = std::to_string(number);
    // JSON's escape of a backslash is the doubled backslash the page expects in paths.
    return u"{\"id\":" + std::u16string(id.begin(), id.end()) + u", \"path\":\"" +
           jsonEscape(toWide(path)) + u"\", \"hash\":\"" + jsonEscape(toWide(hash)) + u"\"}";
}

// The next whole line. A scan may be writing the manifest right now: a last line without its line
// end is still on its way and is left for the next page.
bool readLine(std::istream& in, std::string& line) {
    return std::getline(in, line) && !in.eof();
}

}  // namespace

void sendReportPage() {
    std::ifstream manifest(hashesPath.get());
    if (!manifest) {
        logLine("Error open Hashes.ini");
        return;
    }
    std::int64_t lineCount = 0;
    for (std::string line; readLine(manifest, line);) ++lineCount;
    if (reportPage * pageSize >= lineCount) reportPage = 0;

    manifest.clear();
    manifest.seekg(0);
    std::string line;
    const std::int64_t first = reportPage * pageSize;
    for (std::int64_t skipped = 0; skipped < first && readLine(manifest, line); ++skipped) {
    }
    std::u16string text = u"[";
    bool firstItem = true;
    for (std::int64_t n = 0; n < pageSize && readLine(manifest, line); ++n) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        if (!firstItem) text += u",";
        text += item(first + n + 1, line);
        firstItem = false;
    }
    text += u"]";
    if (webView) webView->postWebMessageAsString(text);
}
