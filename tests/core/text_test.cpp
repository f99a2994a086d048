#include "core/text.h"

#include <gtest/gtest.h>

#include <atomic>
#include <clocale>
#include <thread>

#include "core/format.h"
#include "core/shared_text.h"

#ifndef _WIN32
#include "platform/posix/locale_text.h"
#endif

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
#ifdef _WIN32
    EXPECT_EQ(toWide("a\xFF" "b\xC3"), u"a\uFFFDb\uFFFD") << "invalid bytes";
#endif
}

#ifndef _WIN32
// File names are bytes: narrow text is UTF-8 whatever the locale, and bytes that are not UTF-8
// cross UTF-16 as U+DC80..U+DCFF and come back unchanged. Only a terminal gets the locale's set.
TEST(Text, NarrowTextIsUtf8InAnyLocaleAndEveryByteRoundTrips) {
    struct Row {
        const char* what;
        std::string narrow;
        std::u16string wide;
        std::string shownInC;  // localeText in the C locale
    };
    const Row rows[] = {
        {"home folder", "/home/Jos\xC3\xA9/Documents", u"/home/Jos\u00E9/Documents",
         "/home/Jos?/Documents"},
        {"pair and CJK", "\xE5\xB1\xB1 \xF0\x9F\x9A\x80", u"\u5C71 \U0001F680", "? ?"},
        {"invalid bytes", "a\xFF" "b\xC3", u"a\xDCFF" "b\xDCC3", "a?b?"},
        {"Latin-1 name", "Jos\xE9", u"Jos\xDCE9", "Jos?"},
        {"overlong slash", "\xC0\xAF", u"\xDCC0\xDCAF", "??"},
        {"encoded surrogate", "\xED\xB2\x80", u"\xDCED\xDCB2\xDC80", "???"},
        {"above U+10FFFF", "\xF4\x90\x80\x80", u"\xDCF4\xDC90\xDC80\xDC80", "????"},
        {"cut sequence, then ASCII", "\xE5\xB1" "a", u"\xDCE5\xDCB1" "a", "??a"},
        {"cut sequence at the end", "ab\xF0\x9F\x9A", u"ab\xDCF0\xDC9F\xDC9A", "ab???"},
        {"lone continuation bytes", "\x80\xBF", u"\xDC80\xDCBF", "??"},
    };
    const std::string saved = std::setlocale(LC_CTYPE, nullptr);
    for (const char* locale : {"C.UTF-8", "C", "POSIX"}) {
        ASSERT_NE(std::setlocale(LC_CTYPE, locale), nullptr) << locale;
        for (const Row& row : rows) {
            EXPECT_EQ(toWide(row.narrow), row.wide) << row.what << " in " << locale;
            EXPECT_EQ(toNarrow(toWide(row.narrow)), row.narrow) << row.what << " in " << locale;
            EXPECT_EQ(platform::localeText(row.narrow),
                      std::string(locale) == "C.UTF-8" ? row.narrow : row.shownInC)
                << row.what << " in " << locale;
        }
        // UTF-16 that names no character or byte: a surrogate without its partner outside the
        // escaped bytes' range.
        EXPECT_EQ(toNarrow(u"lone \xD800 surrogate"), "lone ? surrogate") << locale;
        EXPECT_EQ(toNarrow(u"\xDC7F\xDD00 \xD83D"), "?? ?") << locale;
    }
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
