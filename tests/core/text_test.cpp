#include "core/text.h"

#include <gtest/gtest.h>

#include <clocale>

namespace {

TEST(Text, EmptyStaysEmpty) {
    EXPECT_EQ(toWide(""), u"");
    EXPECT_EQ(toNarrow(u""), "");
}

TEST(Text, StopsAtTheFirstNul) {
    EXPECT_EQ(toWide(std::string("ab\0cd", 5)), u"ab");
    EXPECT_EQ(toNarrow(std::u16string(u"ab\0cd", 5)), "ab");
}

// The tests run in a UTF-8 locale (as Windows does with the launcher's UTF-8 code page).
TEST(Text, RoundTripsTextOutsideAsciiIncludingSurrogatePairs) {
    const std::string narrow = "C:\\Users\\J\xC3\xBCrgen \xE5\xB1\xB1\xE7\x94\xB0 \xF0\x9F\x9A\x80";
    const std::u16string wide = u"C:\\Users\\J\u00FCrgen \u5C71\u7530 \U0001F680";
    EXPECT_EQ(toWide(narrow), wide);
    EXPECT_EQ(toNarrow(wide), narrow);
}

TEST(Text, InvalidNarrowBytesBecomeReplacementCharacters) {
    EXPECT_EQ(toWide("a\xFF" "b\xC3"), u"a\uFFFDb\uFFFD");
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

}  // namespace
