// The installation scan: lists every regular file below the root, checksums each on a worker
// pool, writes the local manifest (Hashes.ini in the user folder) and keeps the results in
// `scannedFiles` for the updates.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"

struct ScannedFile {
    std::string fileName;  // last element of the path
    std::uint32_t checksum = 0;
    std::string relativePath;  // as written into the manifest
    // The file as it was before it was read, for a later scan to compare. Empty when it changed
    // too recently for a further change to be told apart by its times, or could not be read.
    std::optional<platform::FileStamp> stamp{};
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
// Folder links are not entered. What cannot be read is logged and left out. With `stamps`, the
// stamp of each file too, in the same order.
void listFiles(const std::string& root, std::vector<std::string>& files,
               std::map<std::string, int>& folderCounts,
               std::vector<std::optional<platform::FileStamp>>* stamps = nullptr);

enum class ScanMode {
    // Reads every file: the launcher's integrity check (a repair). Its records are kept.
    Full,
    // Takes a file's checksum from the previous scan's record when the file still has the stamp
    // (size, times, identity) recorded there, and reads the rest. The previous scan is this
    // process's last one, or for the first scan since the start the one whose records the last
    // start kept in the user folder: an installation changes little between two starts, and within
    // a patch run its updates and scripts change only a few files.
    Incremental,
    // Reads every file for the manifest alone and keeps no records (-h, which ends after it): a
    // large installation's records would be most of the memory the program needs.
    Report,
};

// Whether the stamp a scan that began at `scanBegun` (file-clock units) took of a file can vouch
// for it in a later scan. Not when either time lies within a step of the file clock before that
// beginning, or later: a change made right after the scan looked could leave the same times
// behind. A time with a fraction of a second comes from a clock that steps in hundredths at most
// (a jiffy, Windows' tick); a whole second may come from one that steps by two (FAT).
bool isSettled(const platform::FileStamp& stamp, std::int64_t scanBegun);
inline constexpr std::chrono::milliseconds fineClockWindow{100};
inline constexpr std::chrono::milliseconds coarseClockWindow{2000};

// Scans the installation below `root`; blocks until every file is done. The records of a scan
// that keeps them are written to the user folder at its end, for the next start.
void hashExistingFiles(std::string root, std::atomic<std::int32_t>& excludedCount,
                       std::mutex& scanLock, ScanMode mode = ScanMode::Full);
