#include "platform/posix/launch.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "platform/posix/spawn.h"

namespace platform {

std::string programPath(const std::string& file) {
    std::string program = file;
    for (char& c : program)
        if (c == '\\') c = '/';
    if (program.find('/') == std::string::npos) program = "./" + program;
    return program;
}

std::vector<std::string> launchPrefix(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    char head[256];
    file.read(head, sizeof head);
    std::string firstLine(head, static_cast<std::size_t>(file.gcount()));
    firstLine = firstLine.substr(0, firstLine.find('\n'));
    if (firstLine.starts_with("MZ")) return {"wine"};
    if (!firstLine.starts_with("#!")) return {};
    std::istringstream interpreter(firstLine.substr(2));
    std::vector<std::string> prefix;
    for (std::string word; interpreter >> word && prefix.size() < 2;) prefix.push_back(word);
    return prefix;
}

bool startsThroughWine(const std::string& file) {
    return launchPrefix(programPath(file)) == std::vector<std::string>{"wine"} && onPath("wine");
}

std::string winePrefixFolder() {
    const char* prefix = std::getenv("WINEPREFIX");
    if (prefix && *prefix) return prefix;
    const char* home = std::getenv("HOME");
    return home && *home ? std::string(home) + "/.wine" : std::string();
}

}  // namespace platform
