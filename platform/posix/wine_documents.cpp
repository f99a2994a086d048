#include <algorithm>
#include <cctype>
#include <fstream>

#include "platform/platform.h"
#include "platform/posix/launch.h"

namespace platform {
namespace {

// A string of Wine's registry files, from behind its opening quote: '\' escapes the next
// character, "\x" starts a UTF-16 unit of up to four hexadecimal digits.
std::string registryString(const std::string& text) {
    std::u16string value;
    for (std::size_t i = 0; i < text.size() && text[i] != '"'; ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            value += static_cast<unsigned char>(text[i]);
        } else if (text[++i] == 'x') {
            std::size_t digits = 0;
            while (digits < 4 && i + 1 + digits < text.size() &&
                   std::isxdigit(static_cast<unsigned char>(text[i + 1 + digits])))
                ++digits;
            value +=
                static_cast<char16_t>(std::stoul("0" + text.substr(i + 1, digits), nullptr, 16));
            i += digits;
        } else {
            value += static_cast<unsigned char>(text[i]);
        }
    }
    return wideToNarrow(value.c_str());
}

}  // namespace

std::optional<std::string> programDocumentsFolder(const std::string& program) {
    const std::string prefix = winePrefixFolder();
    if (prefix.empty() || !startsThroughWine(program)) return std::nullopt;
    // Wine keeps the shell folders it resolved for Windows programs in the user's registry file.
    std::ifstream file(prefix + "/user.reg", std::ios::binary);
    const std::string section =
        "[Software\\\\Microsoft\\\\Windows\\\\CurrentVersion\\\\Explorer\\\\Shell Folders]";
    const std::string entry = "\"Personal\"=\"";
    bool inSection = false;
    for (std::string line; std::getline(file, line);) {
        if (line.starts_with("[")) {
            if (inSection) break;
            inSection = line.starts_with(section);
        } else if (inSection && line.starts_with(entry)) {
            // "C:\users\<user>\Documents": drives are links in the prefix's "dosdevices".
            std::string path = registryString(line.substr(entry.size()));
            if (path.size() < 3 || !std::isalpha(static_cast<unsigned char>(path[0])) ||
                path.substr(1, 2) != ":\\")
                return std::nullopt;
            std::replace(path.begin(), path.end(), '\\', '/');
            path[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(path[0])));
            return prefix + "/dosdevices/" + path;
        }
    }
    return std::nullopt;
}

}  // namespace platform
