// The per-user files, derived once at start from the documents folder, and the client token.
#pragma once

#include <string>

#include "core/shared_text.h"

extern SharedText userFolder;          // <documents>/My Games/ORV/ (ends with a separator)
extern SharedText clientSettingsPath;  // .../ClientSettings.ini
extern SharedText favServerPath;       // .../FavServer.ini
extern SharedText hashesPath;          // .../Hashes.ini
extern SharedText scanRecordsPath;     // .../ScanRecords.bin, the last scan's records
extern SharedText clientToken;

// Sets the user-folder paths below `documentsFolder`, joined with the platform's separator.
void setUserPaths(const std::string& documentsFolder);
