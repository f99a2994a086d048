#include <cstdlib>
#include <fstream>
#include <string>

#include "platform/platform.h"

namespace platform {
namespace {

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

// Reads XDG_DOCUMENTS_DIR from the user-dirs file that xdg-user-dirs-update writes:
// lines of the form XDG_DOCUMENTS_DIR="$HOME/Documents".
std::string userDirsEntry(const std::string& home) {
    std::string configHome = environment("XDG_CONFIG_HOME");
    if (configHome.empty()) configHome = home + "/.config";
    std::ifstream file(configHome + "/user-dirs.dirs");
    const std::string prefix = "XDG_DOCUMENTS_DIR=\"";
    for (std::string line; std::getline(file, line);) {
        if (line.rfind(prefix, 0) != 0) continue;
        const auto end = line.rfind('"');
        if (end <= prefix.size()) return "";
        std::string value = line.substr(prefix.size(), end - prefix.size());
        if (value.rfind("$HOME", 0) == 0) value = home + value.substr(5);
        return value.empty() || value[0] != '/' ? "" : value;
    }
    return "";
}

}  // namespace

std::optional<std::u16string> documentsFolder() {
    std::string folder = environment("XDG_DOCUMENTS_DIR");
    if (folder.empty()) {
        const std::string home = environment("HOME");
        if (home.empty()) return std::nullopt;
        folder = userDirsEntry(home);
        if (folder.empty()) folder = home + "/Documents";
    }
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    return narrowToWide(folder.c_str());
}

}  // namespace platform
