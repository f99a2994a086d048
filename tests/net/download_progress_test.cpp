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
    const int transfer = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.received << " of " << c.expected);
        PatchProgress.fileName.set(u"before");
        PatchProgress.fileProgress.store(37);

        EXPECT_EQ(publishDownloadProgress(&transfer, u"Data/ä.pak", c.expected, c.received), 0);

        const bool published = c.progress >= 0;
        EXPECT_EQ(PatchProgress.fileProgress.load(), published ? c.progress : 37);
        EXPECT_EQ(PatchProgress.fileName.get(),
                  published ? u"Data/ä.pak" + c.kilobytes : std::u16string(u"before"));
    }
    releaseDownloadProgress(&transfer);
}

// Transfers side by side: the file line stays with one until it ends or stops moving, so the
// page never shows one file's name beside another's percentage.
TEST(DownloadProgress, FollowsOneOfSeveralTransfersAtATime) {
    const int first = 0, second = 0;
    publishDownloadProgress(&first, u"a", 1000, 100);
    publishDownloadProgress(&second, u"b", 1000, 900);
    EXPECT_EQ(PatchProgress.fileName.get(), u"a (0 KB / 0 KB)");
    EXPECT_EQ(PatchProgress.fileProgress.load(), 10);
    releaseDownloadProgress(&second);  // not the one shown: changes nothing
    publishDownloadProgress(&first, u"a", 1000, 200);
    EXPECT_EQ(PatchProgress.fileProgress.load(), 20);
    releaseDownloadProgress(&first);
    publishDownloadProgress(&second, u"b", 1000, 950);
    EXPECT_EQ(PatchProgress.fileName.get(), u"b (0 KB / 0 KB)");
    EXPECT_EQ(PatchProgress.fileProgress.load(), 95);
    releaseDownloadProgress(&second);
}

}  // namespace
