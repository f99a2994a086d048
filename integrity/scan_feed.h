// How a scan's files reach its hashing workers. Reader threads run ahead of the workers, opening
// files and reading their first block (the whole of most files): with a cold cache several reads
// are then on their way from the disk at once, while the workers check what has arrived. A worker
// that finds nothing read for it opens the next file itself rather than wait. Readers whose files
// all come from the cache step back, since handing files over then costs more than it saves, until
// a worker meets the disk again. Large files come after the others, in the order of their place on
// the disk.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>

#include "integrity/checksum.h"

struct ScanSteps {
    // The first look at file `index` (`firstLook`), or the second one a large file gets when its
    // turn comes: the file opened for reading, or nothing when it is done without reading (left
    // out, or its checksum known already). Must not throw.
    std::function<std::optional<FileBeingHashed>(std::size_t index, bool firstLook)> open;
    // Checks the rest of the file and records it, on a hashing worker. Must not throw.
    std::function<void(std::size_t index, FileBeingHashed& file)> finish;
};

// Files at least this large are read last, in disk order: each costs far more to read than a
// seek, and one after the other they spare a hard disk's head.
inline constexpr std::uint64_t largeFileBytes = std::uint64_t{8} << 20;

// Reader threads beside a scan's hashing workers: enough reads at once for a disk to work at its
// rate.
inline constexpr unsigned scanReaders = 4;

// Runs both steps for files 0 to `fileCount` - 1 on `workers` hashing threads, the calling thread
// among them, and `readers` reader threads; returns when every file is done. Threads that cannot
// be started leave their share to the others.
void runScanFeed(std::size_t fileCount, const ScanSteps& steps, unsigned workers, unsigned readers);
