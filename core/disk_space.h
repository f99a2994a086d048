// The launcher never fills the disk it lives on: every file it receives stops while a reserve of
// free space is still left on the file's volume.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>

// The bytes left free on a volume the launcher writes to.
inline std::atomic<std::uint64_t> diskReserve{std::uint64_t{256} << 20};

// How the free space of a volume is asked for; the test suites put in a volume of their own.
using FreeSpaceQuery = std::optional<std::uint64_t> (*)(const std::string& folder);
extern std::atomic<FreeSpaceQuery> freeSpaceQuery;

// Set when a write stopped at the reserve since the patch run began, so the run can say the disk
// is full rather than that the update failed.
inline std::atomic<bool> diskFilledUp{false};

// The text that the log and the page give for a write stopped at the reserve.
inline constexpr const char* diskFullText = "the disk is full";

// Watches one file being written into `folder`: asks the volume now and again as the file grows.
class SpaceWatch {
public:
    explicit SpaceWatch(std::string folder) : folder_(std::move(folder)) {}
    // False once the file, at `written` bytes, left less than the reserve free; noted in
    // diskFilledUp. An unknown free space is no bar.
    bool allows(std::uint64_t written);

private:
    std::string folder_;
    std::optional<std::uint64_t> nextLook_;
};
