#include "net/download_progress.h"

#include <string>

#include "core/patch_progress.h"

namespace {

constexpr std::int64_t smallestReported = 175;

// Digits and blanks need no code-page conversion.
std::u16string asciiToWide(const std::string& text) { return std::u16string(text.begin(), text.end()); }

}  // namespace

int publishDownloadProgress(void*, std::int64_t expected, std::int64_t received, std::int64_t,
                            std::int64_t) {
    if (expected < smallestReported) return 0;
    const double expectedBytes = static_cast<double>(expected);
    const double receivedBytes = static_cast<double>(received);
    PatchProgress.fileProgress.exchange(static_cast<std::int32_t>(receivedBytes * 100 / expectedBytes));
    const auto receivedKb = static_cast<std::int32_t>(receivedBytes * 0.0009765625);
    const auto expectedKb = static_cast<std::int32_t>(expectedBytes * 0.0009765625);
    PatchProgress.fileName.set(PatchProgress.downloadName.get() +
                               asciiToWide(" (" + std::to_string(receivedKb) + " KB / " +
                                           std::to_string(expectedKb) + " KB)"));
    return 0;
}
