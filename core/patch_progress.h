// The one record through which the patch run's threads report to the window's timer.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "core/shared_text.h"

enum Phase : std::int32_t {
    Idle = 0,
    Scanning = 1,
    Downloading = 2,
    Patching = 3,
    Complete = 4,
};

struct PatchProgressRecord {
    std::atomic<std::int32_t> overallProgress{0};
    std::atomic<std::int32_t> fileProgress{0};
    // The two texts are swapped in whole, so the timer copies them without ever waiting for
    // `transferLock`, which a download holds for its whole length.
    SharedWideText downloadName;
    SharedWideText fileName;
    std::mutex transferLock;
    std::atomic<std::int32_t> phase{Idle};
    std::atomic<std::int32_t> step{0};
    std::atomic<std::int32_t> stepCount{0};
};

extern PatchProgressRecord PatchProgress;
