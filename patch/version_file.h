// The download server's version file: the newest version of the mod, the newest launcher and the
// updates that lead there.
#pragma once

#include <string>
#include <vector>

#include "net/endpoints.h"

struct UpdateEntry {
    std::string version;  // the version the update leads to
    std::string type;     // "full", "inc" or anything else (applies nothing)
    std::string path;     // below the download server, begins with "/"
};

struct VersionInfo {
    std::string currentVersion;
    std::vector<UpdateEntry> updates;  // ascending by versionLess, versions unique
    std::string launcherVersion;
};

// Versions are byte strings, never numbers: "1.10" < "1.9" and "1.0" < "1.0.1".
bool versionLess(const std::string& a, const std::string& b);

// Never fails: text without the known sections gives empty versions and no updates.
VersionInfo readVersionFile(const std::string& text);

// Fetched anew on every call; a failed fetch gives the empty VersionInfo. `serverUrl` is the
// download server's origin (another one only in tests).
VersionInfo fetchVersionInfo(const std::string& serverUrl = downloadServerUrl);
std::string fetchServerVersion(const std::string& serverUrl = downloadServerUrl);
std::string fetchLauncherVersion(const std::string& serverUrl = downloadServerUrl);
