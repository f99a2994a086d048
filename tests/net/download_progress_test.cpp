#include "net/download_progress.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "core/patch_progress.h"

namespace {

TEST(DownloadProgress, PublishesPercentageAndKilobytesFromTheSmallestReportedSizeOn) {
    struct Case {
        std::int64_t expected, received;
        std::int32_t progress;  // -1: nothing published
        std::u16string kilobytes;
    };
    const Case cases[] = {
        {0, 0, -1, u""},  // length not known yet
        {-1, 500, -1, u""},
        {174, 100, -1, u""},
        {175, 0, 0, u" (0 KB / 0 KB)"},
        {175, 175, 100, u" (0 KB / 0 KB)"},
        {2048, 1023, 49, u" (0 KB / 2 KB)"},
        {1536000, 1535999, 99, u" (1499 KB / 1500 KB)"},
        // Beyond 32 bits of bytes the arithmetic must not wrap.
        {3LL << 30, 3LL << 29, 50, u" (1572864 KB / 3145728 KB)"},
    };
    PatchProgress.downloadName.set(u"Data/ä.pak");
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.received << " of " << c.expected);
        PatchProgress.fileName.set(u"before");
        PatchProgress.fileProgress.store(37);

        EXPECT_EQ(publishDownloadProgress(nullptr, c.expected, c.received, 0, 0), 0);

        const bool published = c.progress >= 0;
        EXPECT_EQ(PatchProgress.fileProgress.load(), published ? c.progress : 37);
        EXPECT_EQ(PatchProgress.fileName.get(),
                  published ? u"Data/ä.pak" + c.kilobytes : std::u16string(u"before"));
    }
}

}  // namespace
