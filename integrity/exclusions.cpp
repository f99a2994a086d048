#include "integrity/exclusions.h"

#include <filesystem>
#include <string_view>
#include <unordered_set>

std::atomic<std::int32_t> excludedCount{0};

namespace {

const std::unordered_set<std::string_view> excludedNames = {
    "hashes.ini",   "report.log",
    "libcurl.dll",  "archive.dll",
    "zlib1.dll",    "ORV.zip",
    "lz4.dll",      "liblzma.dll",
    "zstd.dll",     "libcrypto-3.dll",
    "bz2.dll",      "WebView2Loader.dll",
    "Launcher.exe", "Launcher.exe.WebView2",
    "packages",     ".svn",
    "Release",      ".vs",
};

bool isSeparator(char c) {
    return c == '/' || c == static_cast<char>(std::filesystem::path::preferred_separator);
}

}  // namespace

bool isExcluded(const std::string& path) {
    // A transfer the launcher has not finished yet is no file of the installation.
    if (std::string_view(path).ends_with(".orv-partial")) return true;
    // Split by hand: this runs once per file of every scan and update.
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = start;
        while (end < path.size() && !isSeparator(path[end])) ++end;
        if (excludedNames.contains(std::string_view(path).substr(start, end - start))) return true;
        start = end + 1;
    }
    return false;
}
