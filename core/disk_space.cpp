#include "core/disk_space.h"

#include <algorithm>

#include "platform/platform.h"

std::atomic<FreeSpaceQuery> freeSpaceQuery{&platform::freeSpace};

namespace {
// Between two looks a file grows by at most this much, well inside the reserve.
constexpr std::uint64_t lookEvery = std::uint64_t{4} << 20;
}  // namespace

bool SpaceWatch::allows(std::uint64_t written) {
    if (nextLook_ && written < *nextLook_) return true;
    const auto free = freeSpaceQuery.load()(folder_.empty() ? "." : folder_);
    const std::uint64_t reserve = diskReserve.load();
    if (free && *free < reserve) {
        diskFilledUp = true;
        return false;
    }
    // The fuller the disk, the sooner the next look.
    const std::uint64_t room = free ? *free - reserve : lookEvery;
    nextLook_ = written + std::min(lookEvery, room / 2 + 1);
    return true;
}
