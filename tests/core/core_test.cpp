#include "core/ini_document.h"

#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#endif

#include <clocale>
#include <thread>

#include "core/install_path.h"
#include "core/log.h"
#include "core/staged_file.h"
#include "core/text.h"
#include "core/user_paths.h"
#include "platform/platform.h"
#include "tests/support/file_size_limit.h"
#include "tests/support/links.h"
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
    std::size_t filesBeside() const { return filesBelow(dir.file("settings")).size(); }
};

TEST_F(IniTest, ReadsFollowTheGamesRules) {
    writeFile(path,
              "top=before any header\n[CLIENT] ; comment\n  Version =  1.2 \ntoken=  ab cd ; c\n"
              "[Other]\ntoken=other\n[CLIENT]\ntoken=later\n[Config]\r\nA=true\r\nB=True\r\n");
    EXPECT_EQ(getValue(path, "CLIENT", "token"), "ab cd") << "the first match in file order";
    EXPECT_EQ(getValue(path, "CLIENT", "Version"), "") << "a blank between key and '=' is no match";
    EXPECT_EQ(getValue(path, "CLIENT", "top"), "") << "lines before the first header never match";
    EXPECT_EQ(getValue(path, "client", "token"), "") << "sections compare case-sensitively";
    EXPECT_TRUE(getFlag(path, "Config", "A"));
    EXPECT_FALSE(getFlag(path, "Config", "B"));
    EXPECT_EQ(
        parsePairs("[s]\n# c = x\nA\\B.exe = 352441c2\r\nno pair\ntwo=a=b\nd=1\nd=2"),
        (std::map<std::string, std::string>{{"A\\B.exe", "352441c2"}, {"d", "2"}, {"two", "a=b"}}));
}

TEST_F(IniTest, SetValueChangesItsEntryAloneAndReplacesTheWholeFile) {
    const struct {
        const char *before, *section, *key, *after;
    } rows[] = {
        {nullptr, "CLIENT", "token", "[CLIENT]\ntoken=v\n"},  // folder, file, section and entry
        // A missing key goes to the end of its section, a missing section to the end.
        {"[CLIENT]\nVersion=1.0\n\n[Config]\nA=1\n", "CLIENT", "token",
         "[CLIENT]\nVersion=1.0\n\ntoken=v\n[Config]\nA=1\n"},
        {"[Config]\nA=1\n", "MPID", "A", "[Config]\nA=1\n[MPID]\nA=v\n"},
        {"[CLIENT]\r\nVersion=1.0\r\n\r\n[Config]\r\nA=1\r\n", "CLIENT", "Version",
         "[CLIENT]\nVersion=v\n\n[Config]\nA=1\n"},
    };
    for (const auto& row : rows) {
        fs::remove_all(dir.file("settings"));
        if (row.before) writeFile(path, row.before);
        ASSERT_TRUE(setValue(path, row.section, row.key, "v"));
        EXPECT_EQ(readTextFile(path), row.after) << row.after;
        EXPECT_EQ(filesBeside(), 1u) << "no temporary file left behind";
    }
}

// Regression: Windows' text-mode streams end a file at a Ctrl-Z, and the next write kept only what
// came before it. Every byte survives a read and a write.
TEST_F(IniTest, BytesAfterACtrlZSurviveAWrite) {
    writeFile(path, std::string("[Config]\nA=x\x1Ay\n[CLIENT]\nVersion=1.0\n"));
    ASSERT_TRUE(setValue(path, "Config", "B", "1"));
    EXPECT_EQ(getValue(path, "CLIENT", "Version"), "1.0");
    EXPECT_EQ(getValue(path, "Config", "A"), "x\x1Ay");
}

// A write that fails leaves the old file as it was and is logged with the file's name.
TEST_F(IniTest, FailedWriteChangesNothingAndIsLogged) {
    useUserFolder(dir);
    const std::string original = "[CLIENT]\nVersion=1.0\n";
    writeFile(path, original);
#ifndef _WIN32
    {
        const FileSizeLimit full(400);  // as a full disk, with room for the log line
        ASSERT_TRUE(full.active());
        EXPECT_FALSE(setValue(path, "CLIENT", "Version", std::string(2000, '9')));
    }
#else
    // A virus scanner or an editor holding the file makes Windows refuse to replace it for a
    // moment: the write waits that out, and one held too long fails.
    for (const int heldMs : {300, 4000}) {
        HANDLE held = CreateFileW(reinterpret_cast<const wchar_t*>(toWide(path).c_str()),
                                  GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(held, INVALID_HANDLE_VALUE);
        std::thread release([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(heldMs));
            CloseHandle(held);
        });
        EXPECT_EQ(setValue(path, "CLIENT", "Version", "1.0"), heldMs < 1000) << heldMs;
        release.join();
    }
#endif
    EXPECT_EQ(readTextFile(path), original);
    EXPECT_EQ(filesBeside(), 1u);
    ASSERT_EQ(logMessages().size(), 1u);
    EXPECT_EQ(logMessages()[0].rfind("Error writing " + path + ": ", 0), 0u) << logMessages()[0];
}

// Regression: a user name outside ASCII (under Wine too). The settings and the log must reach the
// folder that the narrow path names, with no garbled twin beside it.
TEST_F(IniTest, UserFilesReachAFolderNamedOutsideAscii) {
    const std::string user = "J\xC3\xBCrgen \xE5\xB1\xB1\xE7\x94\xB0";
    setUserPaths(dir.file(user + "/Documents"));
    openLog();
    logLine("first line");
    EXPECT_EQ(logMessages(), std::vector<std::string>{"first line"});
    EXPECT_EQ(readClientVersion(), "0.0.0") << "the default, which is written too";
    EXPECT_EQ(getValue(clientSettingsPath.get(), "CLIENT", "Version"), "0.0.0");
    EXPECT_EQ(filesBelow(dir.path()).size(), 2u);
    for (const auto& entry : fs::directory_iterator(dir.path()))
        EXPECT_EQ(pathText(entry.path().filename()), user);
}

TEST_F(IniTest, LogAndSettingsLoseNothingToManyThreads) {
    useUserFolder(dir);
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
}

// Every path a server names for the installation (manifest key, archive entry, script argument)
// becomes one relative target or is refused with a reason, alike on every system.
TEST(InstallPath, EachSpellingBecomesOneTargetOrIsRefused) {
    const std::pair<const char*, const char*> rows[] = {
        {"x", "x"},
        {"./x", "x"},
        {".\\x", "x"},
        {".//x", "x"},
        {"Sound\\Voice Over\\a b.ogg", "Sound/Voice Over/a b.ogg"},
        {"data/./deep//f.bin", "data/deep/f.bin"},
        {"a.b/c.d", "a.b/c.d"},
        {"console.txt", "console.txt"},
        {"COM0", "COM0"},
        {"..\\..\\Documents\\save.dat", "refused: it leads out of its folder"},
        {"a/../../x", "refused: it leads out of its folder"},
        {".. /z", "refused: it leads out of its folder"},
        {".../z", "refused: it leads out of its folder"},
        {"/home/player/x", "refused: it is absolute"},
        {"\\\\host\\share\\x", "refused: it is absolute"},
        {"C:x", "refused: it names a drive or a stream"},
        {"x.txt:stream", "refused: it names a drive or a stream"},
        {"EXE./Astrovance.exe",
         "refused: an element ends in a dot or a blank, which Windows drops"},
        {"readme.txt ", "refused: an element ends in a dot or a blank, which Windows drops"},
        {"aux.txt", "refused: it names a device on Windows"},
        {"data/NUL", "refused: it names a device on Windows"},
        {"Com7.log", "refused: it names a device on Windows"},
        {"lpt1 .dat", "refused: it names a device on Windows"},
        {"", "refused: it names no file"},
        {"././/", "refused: it names no file"},
    };
    for (const auto& [path, expected] : rows) {
        const InstallPath checked = checkInstallPath(path);
        EXPECT_EQ(checked ? checked.relative : "refused: " + checked.refusal, expected) << path;
    }
    EXPECT_FALSE(checkInstallPath(std::string("a\0b", 3)));
#ifdef _WIN32
    EXPECT_EQ(sameFileKey("Data/X.bin"), sameFileKey("data/x.BIN"));
#else
    EXPECT_NE(sameFileKey("Data/X.bin"), sameFileKey("data/x.BIN"));
#endif
}

// A link below the folder that leads out of it stops a write; a staging file is never opened
// through a link left at its name, which is removed instead.
TEST(InstallPath, LinksAreNeverWrittenThrough) {
    SKIP_WITHOUT_SYMBOLIC_LINKS();
    const TempDir dir;
    fs::create_directories(dir.path() / "game/inside");
    writeFile(dir.path() / "outside/victim.txt", "precious");
    ASSERT_TRUE(makeFolderLink(dir.path() / "outside", dir.path() / "game/out"));
    ASSERT_TRUE(makeFolderLink(dir.path() / "outside/victim.txt", dir.path() / "game/f.partial"));
    const std::string game = pathText(dir.path() / "game");
    EXPECT_TRUE(platform::isLink(game + "/out"));
    EXPECT_FALSE(platform::isLink(game + "/inside"));
    EXPECT_FALSE(staysBelow(game, "out/x"));
    EXPECT_TRUE(staysBelow(game, "inside/new/x"));

    std::FILE* staged = openStaged(game + "/f.partial");
    ASSERT_NE(staged, nullptr);
    std::fputs("server bytes", staged);
    std::fclose(staged);
    EXPECT_FALSE(platform::isLink(game + "/f.partial"));
    EXPECT_EQ(readTextFile(dir.path() / "game/f.partial"), "server bytes");
    EXPECT_EQ(readTextFile(dir.path() / "outside/victim.txt"), "precious");
    ASSERT_TRUE(makeFolderLink(dir.path() / "outside/victim.txt", dir.path() / "game/g.partial"));
    EXPECT_EQ(openStaged(game + "/g.partial", true), nullptr) << "appending goes through no link";
#ifndef _WIN32
    // Where links resolve, one that stays inside is no bar.
    ASSERT_TRUE(makeFolderLink(dir.path() / "game/inside", dir.path() / "game/alias"));
    EXPECT_TRUE(staysBelow(game, "alias/x"));
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
        {"\xF0\x9F\x9A\x80", u"\U0001F680", "?"},
        {"Jos\xE9", u"Jos\xDCE9", "Jos?"},                     // Latin-1
        {"ab\xF0\x9F\x9A", u"ab\xDCF0\xDC9F\xDC9A", "ab???"},  // cut at the end
    };
    for (const std::string locale : {"C.UTF-8", "C"}) {
        ASSERT_NE(std::setlocale(LC_CTYPE, locale.c_str()), nullptr) << locale;
        for (const auto& row : rows) {
            EXPECT_EQ(toWide(row.narrow), row.wide) << row.narrow << " in " << locale;
            EXPECT_EQ(toNarrow(toWide(row.narrow)), row.narrow) << row.narrow << " in " << locale;
            EXPECT_EQ(platform::localeText(row.narrow), locale == "C" ? row.shownInC : row.narrow);
        }
        // A surrogate without its partner outside the escaped bytes' range names nothing.
        EXPECT_EQ(toNarrow(u"lone \xD800 \xDC7F"), "lone ? ?") << locale;
    }
    std::setlocale(LC_CTYPE, "C.UTF-8");
}
#endif

}  // namespace
