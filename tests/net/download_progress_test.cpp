#include "net/download_progress.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "core/patch_progress.h"

namespace {

struct ProgressCase {
    std::int64_t expected;
    std::int64_t received;
    std::int32_t progress;  // -1: nothing published
    std::u16string fileName;
};

class DownloadProgress : public testing::TestWithParam<ProgressCase> {};

TEST_P(DownloadProgress, PublishesPercentageAndKilobytes) {
    const ProgressCase& row = GetParam();
    PatchProgress.downloadName.set(u"Data/ä.pak");
    PatchProgress.fileName.set(u"before");
    PatchProgress.fileProgress.store(37);

    EXPECT_EQ(publishDownloadProgress(nullptr, row.expected, row.received, 0, 0), 0);

    if (row.progress < 0) {
        EXPECT_EQ(PatchProgress.fileProgress.load(), 37);
        EXPECT_EQ(PatchProgress.fileName.get(), u"before");
    } else {
        EXPECT_EQ(PatchProgress.fileProgress.load(), row.progress);
        EXPECT_EQ(PatchProgress.fileName.get(), u"Data/ä.pak" + row.fileName);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, DownloadProgress,
    testing::Values(ProgressCase{0, 0, -1, u""},  // length not known yet
                    ProgressCase{-1, 500, -1, u""}, ProgressCase{174, 100, -1, u""},
                    ProgressCase{175, 0, 0, u" (0 KB / 0 KB)"},
                    ProgressCase{175, 175, 100, u" (0 KB / 0 KB)"},
                    ProgressCase{2048, 1023, 49, u" (0 KB / 2 KB)"},
                    ProgressCase{1536000, 768000, 50, u" (750 KB / 1500 KB)"},
                    ProgressCase{1536000, 1535999, 99, u" (1499 KB / 1500 KB)"},
                    // Beyond 32 bits of bytes the arithmetic must not wrap.
                    ProgressCase{3LL << 30, 3LL << 29, 50, u" (1572864 KB / 3145728 KB)"}));

}  // namespace
