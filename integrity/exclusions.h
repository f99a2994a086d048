// The launcher's own files and build or version-control folders, kept out of every comparison.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

// Files skipped because of an excluded name, over the whole run: scans and updates add to it.
extern std::atomic<std::int32_t> excludedCount;

// True when any element of the path (folder or file name) is one of the excluded names, compared
// exactly, case included.
bool isExcluded(const std::string& path);
