#include "core/install_path.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <filesystem>
#include <system_error>

#include "core/text.h"
#include "platform/platform.h"

namespace fs = std::filesystem;

namespace {

bool isSeparator(char c) {
    return c == '/' || c == '\\';
}

char lower(char c) {
    return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}

bool equalNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [](char x, char y) { return lower(x) == lower(y); });
}

// Windows opens a device for these names, whatever extension follows ("aux.txt", "nul .dat").
bool isDeviceName(std::string_view element) {
    std::string_view stem = element.substr(0, element.find('.'));
    while (!stem.empty() && stem.back() == ' ') stem.remove_suffix(1);
    static constexpr std::array<std::string_view, 6> plain = {"CON", "PRN",    "AUX",
                                                              "NUL", "CONIN$", "CONOUT$"};
    for (const auto name : plain)
        if (equalNoCase(stem, name)) return true;
    if (stem.size() == 4 && stem[3] >= '1' && stem[3] <= '9')
        return equalNoCase(stem.substr(0, 3), "COM") || equalNoCase(stem.substr(0, 3), "LPT");
    return false;
}

}  // namespace

InstallPath checkInstallPath(std::string_view path) {
    InstallPath checked;
    const auto refuse = [&](std::string why) {
        checked.relative.clear();
        checked.refusal = std::move(why);
        return checked;
    };
    if (path.empty()) return refuse("it names no file");
    if (path.find('\0') != std::string_view::npos) return refuse("it holds a NUL character");
    if (isSeparator(path.front())) return refuse("it is absolute");
    if (path.find(':') != std::string_view::npos) return refuse("it names a drive or a stream");
    for (std::size_t start = 0; start < path.size();) {
        const std::size_t end = std::min(path.find_first_of("/\\", start), path.size());
        const std::string_view element = path.substr(start, end - start);
        start = end + 1;
        if (element.empty() || element == ".") continue;
        // Windows drops trailing dots and blanks: ".. " and "..." climb there as ".." does.
        if (element.find_last_not_of(". ") == std::string_view::npos)
            return refuse("it leads out of its folder");
        if (element.back() == '.' || element.back() == ' ')
            return refuse("an element ends in a dot or a blank, which Windows drops");
        if (isDeviceName(element)) return refuse("it names a device on Windows");
        if (!checked.relative.empty()) checked.relative += '/';
        checked.relative += element;
    }
    if (checked.relative.empty()) return refuse("it names no file");
    return checked;
}

std::string sameFileKey(const std::string& relative) {
#ifdef _WIN32
    std::string key = relative;
    std::transform(key.begin(), key.end(), key.begin(), lower);
    return key;
#else
    return relative;
#endif
}

bool staysBelow(const std::string& base, const std::string& relative) {
    std::error_code error;
    fs::path resolvedBase;
    std::string prefix = base;
    for (std::size_t start = 0; start < relative.size();) {
        const std::size_t end = std::min(relative.find('/', start), relative.size());
        prefix += platform::pathSeparator;
        prefix += relative.substr(start, end - start);
        start = end + 1;
        if (!fs::exists(fs::symlink_status(toPath(prefix), error))) return true;
        if (!platform::isLink(prefix)) continue;
#ifdef _WIN32
        // The C++ library here does not resolve reparse points: where one leads is unknown.
        return false;
#else
        if (resolvedBase.empty()) resolvedBase = fs::weakly_canonical(toPath(base), error);
        const fs::path target = fs::weakly_canonical(toPath(prefix), error);
        if (error) return false;
        const auto mismatch =
            std::mismatch(resolvedBase.begin(), resolvedBase.end(), target.begin(), target.end());
        if (mismatch.first != resolvedBase.end()) return false;
#endif
    }
    return true;
}
