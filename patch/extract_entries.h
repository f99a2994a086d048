// Extraction of full-archive entries into the working folder (the installation root). Every
// extraction holds `transferLock`, so it never overlaps a download or another extraction.
#pragma once

#include <functional>
#include <string>
#include <vector>

// Extracts the one entry named exactly `entryName`. Failures are logged: "Could not initialize
// the archive", "Error when opening the archive", "Error when extracting the file", or "File in
// Versionfile not found!".
void extractEntry(const std::string& archivePath, const std::string& entryName);

// Extracts the named entries in one pass over the archive. For each name, in the given order,
// the log holds "Patched: " + name followed by that entry's failure line, if any; `entryDone`
// runs once per name right after its lines. Entries found in archive order have their
// "Patched: " line written just before they are extracted.
void extractEntries(const std::string& archivePath, const std::vector<std::string>& entryNames,
                    const std::function<void()>& entryDone);
