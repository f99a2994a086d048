// The one record through which the patch run's threads report to the window's timer.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "core/shared_text.h"

// The page's file line: a percentage and the name it belongs to.
struct FileLine {
    std::int32_t progress = 0;
    std::u16string name;
};

enum Phase : std::int32_t {
    Idle = 0,
    Scanning = 1,
    Downloading = 2,
    Patching = 3,
    Complete = 4,
};

// How the last patch run ended; the status texts say it once `phase` is Complete.
enum RunOutcome : std::int32_t {
    Applied = 0,          // every update of the run was applied, or none was needed
    Incomplete = 1,       // an update failed and is tried again at the next start
    Unchecked = 2,        // the download server could not be reached: nothing was checked
    NoServerVersion = 3,  // its version file names no current version: nothing was checked
    DiskFull = 4,         // an update stopped to leave the disk its reserve of free space
};

struct PatchProgressRecord {
    std::atomic<std::int32_t> overallProgress{0};
    std::atomic<std::int32_t> fileProgress{0};
    // The two texts are swapped in whole, so the timer copies them without ever waiting for
    // `transferLock`, which a download holds for its whole length.
    SharedWideText downloadName;
    SharedWideText fileName;
    // Sets `fileProgress` and `fileName` together, and reads them together: with several
    // transfers at once, a name is never shown beside another transfer's percentage. The lock is
    // held for two stores or two loads, never across a transfer.
    void setFileLine(std::int32_t progress, std::u16string name);
    FileLine fileLine() const;
    std::mutex transferLock;
    std::atomic<std::int32_t> phase{Idle};
    std::atomic<std::int32_t> step{0};
    std::atomic<std::int32_t> stepCount{0};
    std::atomic<std::int32_t> outcome{Applied};
    // Repairs asked for since the start. A run during which this changes records nothing: the
    // repair deleted files under its feet, and its own run follows at once.
    std::atomic<std::uint32_t> repairs{0};
    // A word for the player beside the status texts of a finished run (a newer launcher).
    SharedWideText notice;

private:
    mutable std::mutex fileLineLock_;
};

extern PatchProgressRecord PatchProgress;
