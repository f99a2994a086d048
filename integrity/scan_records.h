// The scan's records kept across starts, in the user folder: the first scan of the next patch run
// reads again only the files whose stamp moved since, as the later scans of one run do.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "integrity/scan.h"

// Writes the records that carry a stamp, with the installation they belong to, to `path`: a file
// beside it renamed over it, so a start never finds half of them. False, and a log line, when they
// could not be written; the records already there then stay.
bool saveScanRecords(const std::string& path, const std::string& root,
                     const std::vector<ScannedFile>& records);

// The records kept at `path`, sorted by path, when they belong to the installation at `root` (the
// same folder on the same volume) and read back whole in this format; nothing otherwise, with a
// log line saying why unless there is no file at all.
std::optional<std::vector<ScannedFile>> loadScanRecords(const std::string& path,
                                                        const std::string& root);
