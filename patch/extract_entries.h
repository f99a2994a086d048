// Extraction of full-archive entries into the working folder (the installation root). Every
// extraction holds `transferLock`, so it never overlaps a download or another extraction.
//
// An entry is written beside its file first and renamed over it only when it was read whole and,
// where its checksum is known, matches it: a damaged or cut-off archive leaves the installed file
// as it was. Only plain files inside the working folder are extracted.
#pragma once

#include <functional>
#include <string>
#include <vector>

struct WantedEntry {
    std::string name;      // as the archive names it: "Astrovance/" and the key with "/"
    std::string checksum;  // the update's checksum text for it; empty: not checked
};

// Extracts the one entry named exactly `entryName`. Failures are logged: "Could not initialize
// the archive", "Error when opening the archive", "Error when extracting the file" (followed by
// the reason), or "File in Versionfile not found!". True when the file was written.
bool extractEntry(const std::string& archivePath, const std::string& entryName);

// Extracts the wanted entries in one pass over the archive. For each, in the given order, the
// log holds "Patched: " + name followed by that entry's failure lines, if any; `entryDone` runs
// once per entry right after its lines, told whether the file was written. Entries found in
// archive order have their "Patched: " line written just before they are extracted.
void extractEntries(const std::string& archivePath, const std::vector<WantedEntry>& entries,
                    const std::function<void(bool extracted)>& entryDone);
