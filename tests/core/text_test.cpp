#include "core/text.h"

#include <gtest/gtest.h>

#include <atomic>
#include <clocale>
#include <thread>

#include "core/format.h"
#include "core/shared_text.h"

namespace {

TEST(LowerHex, HasNoLeadingZerosAndLowerCaseDigits) {
    EXPECT_EQ(lowerHex(0), "0");
    EXPECT_EQ(lowerHex(0x6b9df6f), "6b9df6f");
    EXPECT_EQ(lowerHex(0xCBF43926u), "cbf43926");
    EXPECT_EQ(lowerHex(0xFFFFFFFFFFFFFFFFull), "ffffffffffffffff");
}

TEST(Text, EmptyStaysEmptyAndTheFirstNulEnds) {
    EXPECT_EQ(toWide(""), u"");
    EXPECT_EQ(toNarrow(u""), "");
    EXPECT_EQ(toWide(std::string("ab\0cd", 5)), u"ab");
    EXPECT_EQ(toNarrow(std::u16string(u"ab\0cd", 5)), "ab");
}

// The tests run in a UTF-8 locale (as Windows does with the launcher's UTF-8 code page).
TEST(Text, RoundTripsTextOutsideAsciiIncludingSurrogatePairs) {
    const std::string narrow = "C:\\Users\\J\xC3\xBCrgen \xE5\xB1\xB1\xE7\x94\xB0 \xF0\x9F\x9A\x80";
    const std::u16string wide = u"C:\\Users\\J\u00FCrgen \u5C71\u7530 \U0001F680";
    EXPECT_EQ(toWide(narrow), wide);
    EXPECT_EQ(toNarrow(wide), narrow);
    EXPECT_EQ(toWide("a\xFF" "b\xC3"), u"a\uFFFDb\uFFFD") << "invalid bytes";
}

#ifndef _WIN32
TEST(Text, CharactersOutsideTheCodePageBecomeQuestionMarks) {
    const std::string saved = std::setlocale(LC_CTYPE, nullptr);
    ASSERT_NE(std::setlocale(LC_CTYPE, "C"), nullptr);
    EXPECT_EQ(toNarrow(u"J\u00FCrgen \U0001F680!"), "J?rgen ?!");
    EXPECT_EQ(toNarrow(u"lone \xD800 surrogate"), "lone ? surrogate");
    std::setlocale(LC_CTYPE, saved.c_str());
}
#endif

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
