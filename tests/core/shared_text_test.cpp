#include "core/shared_text.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

// A reader copying the text while a writer keeps replacing it sees only whole values.
TEST(SharedText, ReadersNeverSeeATornText) {
    SharedWideText text;
    EXPECT_EQ(text.get(), u"");
    const std::u16string a(300, u'a'), b(700, u'b');
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (int i = 0; i < 20000; ++i) text.set(i % 2 ? a : b);
        done = true;
    });
    do {
        const auto seen = text.get();
        ASSERT_TRUE(seen.empty() || seen == a || seen == b);
    } while (!done);
    writer.join();
    EXPECT_EQ(text.get(), a) << "the last value written";
}

}  // namespace
