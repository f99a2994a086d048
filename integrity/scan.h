// The installation scan: lists every regular file below the root, checksums each on a worker
// pool, writes the local manifest (Hashes.ini in the user folder) and keeps the results in
// `scannedFiles` for the updates.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/platform.h"

struct ScannedFile {
    std::string fileName;  // last element of the path
    std::uint32_t checksum = 0;
    std::string relativePath;  // as written into the manifest
};

// The records of the last scan, in the order its jobs finished. Read without a lock once the
// scan has returned.
extern std::vector<ScannedFile> scannedFiles;

// Guards the manifest stream and `scannedFiles` while a scan's jobs run.
extern std::mutex scanLock;

// The installation root: the working folder, which the launcher never changes.
inline const std::string installationRoot = std::string(".") + platform::pathSeparator;

// Fills `files` with the path of every regular file below `root`, relative to it and in walk
// order, and `folderCounts` with the number of files per folder (the root's own files under "").
// Folder links are not entered. What cannot be read is logged and left out.
void listFiles(const std::string& root, std::vector<std::string>& files,
               std::map<std::string, int>& folderCounts);

// Scans the installation below `root`; blocks until every file is done.
void hashExistingFiles(std::string root, std::atomic<std::int32_t>& excludedCount,
                       std::mutex& scanLock);
