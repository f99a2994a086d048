#include "net/download_progress.h"

#include <chrono>
#include <mutex>

#include "core/patch_progress.h"

namespace {

constexpr std::int64_t smallestReported = 175;
// A transfer that has not moved for this long leaves the file line to one that does.
constexpr auto quietLimit = std::chrono::seconds(1);

struct LineOwner {
    std::mutex lock;
    const void* transfer = nullptr;
    std::chrono::steady_clock::time_point lastMoved;
};

LineOwner& lineOwner() {
    static LineOwner owner;
    return owner;
}

// Digits and blanks need no code-page conversion.
std::u16string asciiToWide(const std::string& text) {
    return std::u16string(text.begin(), text.end());
}

// True when `transfer` has the file line, taking it if it is free.
bool holdsLine(const void* transfer) {
    LineOwner& owner = lineOwner();
    const std::lock_guard lock(owner.lock);
    const auto now = std::chrono::steady_clock::now();
    if (owner.transfer != transfer && owner.transfer && now - owner.lastMoved < quietLimit)
        return false;
    owner.transfer = transfer;
    owner.lastMoved = now;
    return true;
}

}  // namespace

int publishDownloadProgress(const void* transfer, const std::u16string& name, std::int64_t expected,
                            std::int64_t received) {
    if (expected < smallestReported || !holdsLine(transfer)) return 0;
    const double expectedBytes = static_cast<double>(expected);
    const double receivedBytes = static_cast<double>(received);
    const auto receivedKb = static_cast<std::int32_t>(receivedBytes * 0.0009765625);
    const auto expectedKb = static_cast<std::int32_t>(expectedBytes * 0.0009765625);
    PatchProgress.setFileLine(static_cast<std::int32_t>(receivedBytes * 100 / expectedBytes),
                              name + asciiToWide(" (" + std::to_string(receivedKb) + " KB / " +
                                                 std::to_string(expectedKb) + " KB)"));
    return 0;
}

void announceDownload(const void* transfer, const std::u16string& name) {
    if (holdsLine(transfer)) PatchProgress.setFileLine(0, name);
}

void releaseDownloadProgress(const void* transfer) {
    LineOwner& owner = lineOwner();
    const std::lock_guard lock(owner.lock);
    if (owner.transfer == transfer) owner.transfer = nullptr;
}
