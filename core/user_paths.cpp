#include "core/user_paths.h"

#include "platform/platform.h"

SharedText userFolder;
SharedText clientSettingsPath;
SharedText favServerPath;
SharedText hashesPath;
SharedText scanRecordsPath;
SharedText clientToken;

void setUserPaths(const std::string& documentsFolder) {
    constexpr char sep = platform::pathSeparator;
    const std::string folder = documentsFolder + sep + "My Games" + sep + "ORV" + sep;
    clientSettingsPath.set(folder + "ClientSettings.ini");
    favServerPath.set(folder + "FavServer.ini");
    hashesPath.set(folder + "Hashes.ini");
    scanRecordsPath.set(folder + "ScanRecords.bin");
    userFolder.set(folder);
}
