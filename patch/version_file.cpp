#include "patch/version_file.h"

#include <algorithm>
#include <map>
#include <sstream>
#include <utility>

#include "core/ini_document.h"
#include "net/fetch.h"

bool versionLess(const std::string& a, const std::string& b) {
    // Unsigned byte comparison, whatever the signedness of char.
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return static_cast<unsigned char>(x) < static_cast<unsigned char>(y);
    });
}

namespace {

struct VersionOrder {
    bool operator()(const std::string& a, const std::string& b) const { return versionLess(a, b); }
};

}  // namespace

VersionInfo readVersionFile(const std::string& text) {
    VersionInfo info;
    std::string section;
    std::map<std::string, std::pair<std::string, std::string>, VersionOrder> updates;
    // Updates count only after the current version or a full archive: older lines of the file
    // describe updates that the server no longer offers as a chain.
    bool collecting = false;

    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        line = IniDocument::trim(line);
        if (line.empty() || line[0] == ';' || line[0] == '#') continue;
        if (line.front() == '[' && line.back() == ']') {
            section = line.substr(1, line.size() - 2);
            continue;
        }
        const auto equals = line.find('=');
        if (equals == std::string::npos) continue;
        const std::string key = IniDocument::trim(line.substr(0, equals));
        const std::string value = IniDocument::trim(line.substr(equals + 1));

        if (section == "CurrentVersion") {
            info.currentVersion = value;
            collecting = true;
        } else if (section == "Updates") {
            const auto comma = value.find(',');
            if (comma == std::string::npos) continue;
            std::string type = IniDocument::trim(value.substr(0, comma));
            std::string path = IniDocument::trim(value.substr(comma + 1));
            if (type == "full") {
                // A full archive holds everything: what came before it is not needed.
                updates.clear();
                collecting = true;
            }
            if (collecting) updates[key] = {std::move(type), std::move(path)};
        } else if (section == "Launcher") {
            info.launcherVersion = value;
        }
    }

    for (auto& [version, update] : updates)
        info.updates.push_back({version, std::move(update.first), std::move(update.second)});
    return info;
}

VersionInfo fetchVersionInfo(const std::string& serverUrl) {
    return readVersionFile(fetchUrl(serverUrl + "/version.ini"));
}

std::string fetchServerVersion(const std::string& serverUrl) {
    return fetchVersionInfo(serverUrl).currentVersion;
}

std::string fetchLauncherVersion(const std::string& serverUrl) {
    return fetchVersionInfo(serverUrl).launcherVersion;
}
