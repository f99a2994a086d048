#include "core/ini_document.h"

#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#endif

#include <atomic>
#include <clocale>
#include <regex>
#include <thread>

#include "core/log.h"
#include "core/shared_text.h"
#include "core/text.h"
#include "core/user_paths.h"
#include "tests/support/file_size_limit.h"
#include "tests/support/temp_dir.h"

#ifndef _WIN32
#include "platform/posix/locale_text.h"
#endif

namespace fs = std::filesystem;
using namespace IniDocument;

namespace {

class IniTest : public testing::Test {
protected:
    TempDir dir;
    std::string path = dir.file("settings/ClientSettings.ini");

    long filesBeside() const {
        return std::distance(fs::directory_iterator(dir.file("settings")),
                             fs::directory_iterator());
    }
};

TEST_F(IniTest, GetValueAndGetFlagFollowTheGamesRules) {
    writeFile(path,
              "top=before any header\n[CLIENT] ; a comment after the header\n  Version =  1.2 \n"
              "token=  ab cd  ; comment\nsemi=a;b\n\t[Other]\ntoken=other\n[CLIENT]\ntoken=later\n"
              "late=second CLIENT section\n[Config]\r\nA=true\r\nB=True\r\nC=1\r\nD= true \r\n");
    const struct {
        const char *section, *key, *value;
    } rows[] = {
        {"CLIENT", "token", "ab cd"},  // the first match in file order
        {"CLIENT", "Version", ""},     // a blank between key and '=' is no match
        {"CLIENT", "semi", "a"},
        {"Other", "token", "other"},
        {"CLIENT", "late", "second CLIENT section"},
        {"", "top", ""},          // lines before the first header never match
        {"client", "token", ""},  // sections compare case-sensitively
        {"Config", "D", "true"},  // CR LF line ends
    };
    for (const auto& row : rows)
        EXPECT_EQ(getValue(path, row.section, row.key), row.value) << row.key;
    EXPECT_EQ(getValue(dir.file("missing.ini"), "CLIENT", "token"), "");
    for (const char* on : {"A", "D"}) EXPECT_TRUE(getFlag(path, "Config", on)) << on;
    for (const char* off : {"B", "C", "None"}) EXPECT_FALSE(getFlag(path, "Config", off)) << off;
}

TEST_F(IniTest, SetValueChangesItsEntryAloneAndReplacesTheWholeFile) {
    const struct {
        const char *before, *section, *key, *after;
    } rows[] = {
        {nullptr, "CLIENT", "token", "[CLIENT]\ntoken=v\n"},  // folder, file, section and entry
        // A missing key goes to the end of its section, a missing section to the end.
        {"[CLIENT]\nVersion=1.0\n; note\n\n[Config]\nA=1\n", "CLIENT", "token",
         "[CLIENT]\nVersion=1.0\n; note\n\ntoken=v\n[Config]\nA=1\n"},
        {"[Config]\nA=1\n", "Config", "B", "[Config]\nA=1\nB=v\n"},
        {"[Config]\nA=1\n", "MPID", "A", "[Config]\nA=1\n[MPID]\nA=v\n"},
        // White space inside keys is ignored, and every matching line is replaced.
        {"[CLIENT]\nVersion = 1.0 ; old\n V e r s i o n\nVersion=2\nX=x\n", "CLIENT", "Version",
         "[CLIENT]\nVersion=v\nVersion=v\nVersion=v\nX=x\n"},
        // A header with a comment is no header here.
        {"[CLIENT] ; c\nVersion=1.0\n", "CLIENT", "Version",
         "[CLIENT] ; c\nVersion=1.0\n[CLIENT]\nVersion=v\n"},
        {"; s\r\n[CLIENT]\r\nVersion=1.0\r\n\r\n[Config]\r\nA=1\r\n", "CLIENT", "Version",
         "; s\n[CLIENT]\nVersion=v\n\n[Config]\nA=1\n"},
    };
    for (const auto& row : rows) {
        fs::remove_all(dir.file("settings"));
        if (row.before) writeFile(path, row.before);
        ASSERT_TRUE(setValue(path, row.section, row.key, "v"));
        EXPECT_EQ(readTextFile(path), row.after) << row.after;
        EXPECT_EQ(filesBeside(), 1) << "no temporary file left behind";
    }
#ifdef _WIN32
    EXPECT_EQ(readFile(path), "; s\r\n[CLIENT]\r\nVersion=v\r\n\r\n[Config]\r\nA=1\r\n");
#endif
}

// A write that fails leaves the old file as it was and is logged with the file's name.
TEST_F(IniTest, FailedWriteChangesNothingAndIsLogged) {
    useUserFolder(dir);
    writeFile(dir.file("blocker"), "a file where a folder should be");
    const std::string blocked = dir.file("blocker/sub/ClientSettings.ini");
    EXPECT_FALSE(setValue(blocked, "CLIENT", "token", "x"));
    ASSERT_EQ(logMessages().size(), 1u);
    EXPECT_EQ(logMessages()[0].rfind("Error writing " + blocked + ": ", 0), 0u) << logMessages()[0];
#ifndef _WIN32
    const std::string original = "[CLIENT]\nVersion=1.0\ntoken=abc\n";
    writeFile(path, original);
    {
        const FileSizeLimit full(16);  // as a full disk
        ASSERT_TRUE(full.active());
        EXPECT_FALSE(setValue(path, "CLIENT", "Version", std::string(200, '9')));
    }
    EXPECT_EQ(readFile(path), original);
    EXPECT_EQ(filesBeside(), 1);
#else
    // Another program holding the file open (a virus scanner, an editor) makes Windows refuse to
    // replace it for a moment: the write waits that out; one held too long fails and is logged.
    writeFile(path, "[CLIENT]\nVersion=1.0\n");
    for (const int heldMs : {300, 4000}) {
        HANDLE held = CreateFileW(reinterpret_cast<const wchar_t*>(toWide(path).c_str()),
                                  GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(held, INVALID_HANDLE_VALUE);
        std::thread release([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(heldMs));
            CloseHandle(held);
        });
        EXPECT_EQ(setValue(path, "CLIENT", "Version", std::to_string(heldMs)), heldMs < 1000);
        release.join();
        EXPECT_EQ(getValue(path, "CLIENT", "Version"), "300") << "the write that got through";
        EXPECT_EQ(filesBeside(), 1) << heldMs;
    }
    ASSERT_EQ(logMessages().size(), 2u);
    EXPECT_EQ(logMessages()[1].rfind("Error writing " + path + ": ", 0), 0u) << logMessages()[1];
#endif
}

// Regression: a user name outside ASCII (under Wine too). The settings and the log must reach the
// folder that the narrow path names, with no garbled twin beside it.
TEST_F(IniTest, UserFilesReachAFolderNamedOutsideAscii) {
    const std::string user = "J\xC3\xBCrgen \xE5\xB1\xB1\xE7\x94\xB0";
    setUserPaths(dir.file(user + "/Documents"));
    openLog();
    logLine("first line");
    ASSERT_TRUE(setValue(clientSettingsPath.get(), "CLIENT", "token", "1a2b"));
    EXPECT_EQ(getValue(clientSettingsPath.get(), "CLIENT", "token"), "1a2b");
    EXPECT_EQ(logMessages(), std::vector<std::string>{"first line"});
    EXPECT_EQ(readClientVersion(), "0.0.0") << "the default, which is written too";
    EXPECT_EQ(getValue(clientSettingsPath.get(), "CLIENT", "Version"), "0.0.0");
    EXPECT_EQ(filesBelow(dir.path()).size(), 2u);
    for (const auto& entry : fs::directory_iterator(dir.path()))
        EXPECT_EQ(pathText(entry.path().filename()), user);
}

TEST(ParsePairs, ReadsManifestLinesWithItsOwnRules) {
    const auto pairs = parsePairs(
        "[section]\n# comment = skipped\n; comment = skipped\n ;key = indented semicolon\n"
        "Astrovance\\EXE\\Astrovance.exe = 352441c2\r\nno equals sign\n\ntwo=a=b\ndup = first\n"
        "dup = second\n[with=equals]\nlast=no line end");
    const std::map<std::string, std::string> expected = {
        {";key", "indented semicolon"}, {"Astrovance\\EXE\\Astrovance.exe", "352441c2"},
        {"[with", "equals]"},           {"dup", "second"},
        {"last", "no line end"},        {"two", "a=b"}};
    EXPECT_EQ(pairs, expected);
    EXPECT_EQ(trim("\fx\v"), "\fx\v") << "only blanks, tabs and line ends go";
}

TEST_F(IniTest, LogAndSettingsLoseNothingToManyThreads) {
    useUserFolder(dir);
    const fs::path log = logPath.get();
    EXPECT_EQ(log.parent_path(), dir.path() / "Documents" / "My Games" / "ORV" / "Logs");
    EXPECT_TRUE(std::regex_match(log.filename().string(),
                                 std::regex(R"(Log_\d{4}-\d\d-\d\d_\d\d-\d\d-\d\d\.log)")));
    logLine("Launcher started");
    logLine("two\nlines");
    const std::string stamp = R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d - )";
    EXPECT_TRUE(std::regex_match(
        readTextFile(log), std::regex(stamp + "Launcher started\n" + stamp + "two\nlines\n")));
    fs::remove(log);
    auto line = [](int t) { return std::to_string(t) + std::string(100, char('a' + t)); };
    auto key = [](int t, int k) { return "t" + std::to_string(t) + "k" + std::to_string(k); };
    std::vector<std::thread> writers;
    for (int t = 0; t < 8; ++t)
        writers.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i) {
                logLine(line(t));
                if (i % 8 == 0) setValue(path, t % 2 ? "A" : "B", key(t, i / 8), key(t, i / 8));
            }
        });
    for (auto& writer : writers) writer.join();
    const auto messages = logMessages();
    ASSERT_EQ(messages.size(), 1600u);
    for (const auto& message : messages) EXPECT_EQ(message, line(message[0] - '0'));
    for (int t = 0; t < 8; ++t)
        for (int k = 0; k < 25; ++k)
            EXPECT_EQ(getValue(path, t % 2 ? "A" : "B", key(t, k)), key(t, k));
    EXPECT_EQ(filesBeside(), 1);

    // A documents "folder" that is a file: the run goes on unlogged.
    writeFile(dir.file("blocked"), "");
    setUserPaths(dir.file("blocked"));
    openLog();
    logLine("nowhere");
    EXPECT_FALSE(fs::exists(logPath.get()));
}

TEST(Text, ConvertsUpToTheFirstNulAndRoundTripsSurrogatePairs) {
    EXPECT_EQ(toWide(std::string("ab\0cd", 5)), u"ab");
    EXPECT_EQ(toNarrow(std::u16string(u"ab\0cd", 5)), "ab");
    // The tests run in a UTF-8 locale, as Windows does with the launcher's UTF-8 code page.
    const std::string narrow = "C:\\Users\\J\xC3\xBCrgen \xE5\xB1\xB1\xE7\x94\xB0 \xF0\x9F\x9A\x80";
    EXPECT_EQ(toWide(narrow), u"C:\\Users\\J\u00FCrgen \u5C71\u7530 \U0001F680");
    EXPECT_EQ(toNarrow(toWide(narrow)), narrow);
#ifdef _WIN32
    EXPECT_EQ(toWide("a\xFFz\xC3"), u"a\uFFFDz\uFFFD") << "invalid bytes";
#endif
}

#ifndef _WIN32
// Regression: a home folder "José" in UTF-8 turned into question marks under LC_ALL=C. File names
// are bytes: narrow text is UTF-8 in any locale, and bytes that are not UTF-8 cross UTF-16 as
// U+DC80..U+DCFF and come back unchanged. Only a terminal gets the locale's character set.
TEST(Text, NarrowTextIsUtf8InAnyLocaleAndEveryByteRoundTrips) {
    const struct {
        std::string narrow;
        std::u16string wide;
        std::string shownInC;  // localeText in the C locale
    } rows[] = {
        {"/home/Jos\xC3\xA9/Documents", u"/home/Jos\u00E9/Documents", "/home/Jos?/Documents"},
        {"\xE5\xB1\xB1 \xF0\x9F\x9A\x80", u"\u5C71 \U0001F680", "? ?"},
        {"a\xFFz\xC3", u"a\xDCFFz\xDCC3", "a?z?"},
        {"Jos\xE9", u"Jos\xDCE9", "Jos?"},                          // Latin-1
        {"\xC0\xAF", u"\xDCC0\xDCAF", "??"},                        // overlong slash
        {"\xED\xB2\x80", u"\xDCED\xDCB2\xDC80", "???"},             // encoded surrogate
        {"\xF4\x90\x80\x80", u"\xDCF4\xDC90\xDC80\xDC80", "????"},  // above U+10FFFF
        {"\xE5\xB1z", u"\xDCE5\xDCB1z", "??z"},                     // cut, then ASCII
        {"ab\xF0\x9F\x9A", u"ab\xDCF0\xDC9F\xDC9A", "ab???"},       // cut at the end
        {"\x80\xBF", u"\xDC80\xDCBF", "??"},                        // lone continuations
    };
    const std::string saved = std::setlocale(LC_CTYPE, nullptr);
    for (const std::string locale : {"C.UTF-8", "C", "POSIX"}) {
        ASSERT_NE(std::setlocale(LC_CTYPE, locale.c_str()), nullptr) << locale;
        for (const auto& row : rows) {
            EXPECT_EQ(toWide(row.narrow), row.wide) << row.narrow << " in " << locale;
            EXPECT_EQ(toNarrow(toWide(row.narrow)), row.narrow) << row.narrow << " in " << locale;
            EXPECT_EQ(platform::localeText(row.narrow),
                      locale == "C.UTF-8" ? row.narrow : row.shownInC);
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
