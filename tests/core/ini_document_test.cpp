#include "core/ini_document.h"

#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#endif

#include <chrono>
#include <thread>
#include <vector>

#include "core/text.h"
#include "core/user_paths.h"
#include "tests/support/file_size_limit.h"
#include "tests/support/temp_dir.h"

namespace fs = std::filesystem;

namespace {

using IniDocument::getFlag;
using IniDocument::getValue;
using IniDocument::setValue;

class IniTest : public testing::Test {
protected:
    TempDir dir;
    std::string path = dir.file("settings/ClientSettings.ini");

    void write(const std::string& content) { writeFile(path, content); }
    // As text mode reads it: the CR LF line ends of Windows come back as LF.
    std::string content() const { return readTextFile(path); }
    long filesBeside() const {
        return std::distance(fs::directory_iterator(dir.file("settings")), fs::directory_iterator());
    }
};

TEST_F(IniTest, GetValueCutsCommentsTrimsAndMatchesKeyGluedToEquals) {
    write(
        "top=before any header\n"
        "[CLIENT] ; a comment after the header\n"
        "  Version =  1.2 \n"
        "token=  ab cd  ; comment\n"
        "semi=a;b\n"
        "\t[Other]\n"
        "token=other\n"
        "[CLIENT]\n"
        "late=found in the second CLIENT section\n");
    EXPECT_EQ(getValue(path, "CLIENT", "token"), "ab cd");
    EXPECT_EQ(getValue(path, "CLIENT", "Version"), "") << "blank between key and '=' is no match";
    EXPECT_EQ(getValue(path, "CLIENT", "semi"), "a");
    EXPECT_EQ(getValue(path, "Other", "token"), "other");
    EXPECT_EQ(getValue(path, "CLIENT", "late"), "found in the second CLIENT section");
    EXPECT_EQ(getValue(path, "", "top"), "") << "lines before the first header never match";
    EXPECT_EQ(getValue(path, "client", "token"), "") << "sections compare case-sensitively";
    EXPECT_EQ(getValue(dir.file("missing.ini"), "CLIENT", "token"), "");
}

TEST_F(IniTest, GetFlagIsTrueOnlyForExactlyTrueAndReadsWindowsLineEnds) {
    write("[Config]\r\nA=true\r\nB=True\r\nC=1\r\nD= true \r\n");
    EXPECT_TRUE(getFlag(path, "Config", "A"));
    EXPECT_FALSE(getFlag(path, "Config", "B"));
    EXPECT_FALSE(getFlag(path, "Config", "C"));
    EXPECT_TRUE(getFlag(path, "Config", "D")) << "blanks around the value are trimmed";
    EXPECT_FALSE(getFlag(path, "Config", "Missing"));
}

TEST_F(IniTest, SetValueCreatesFolderFileSectionAndEntry) {
    ASSERT_TRUE(setValue(path, "CLIENT", "token", "1a2b"));
    EXPECT_EQ(content(), "[CLIENT]\ntoken=1a2b\n");
#ifdef _WIN32
    EXPECT_EQ(readFile(path), "[CLIENT]\r\ntoken=1a2b\r\n");
#endif
}

TEST_F(IniTest, SetValuePlacesMissingKeyAtTheEndOfItsSection) {
    write("[CLIENT]\nVersion=1.0\n; note\n\n[Config]\nWindowMode=true\n");
    ASSERT_TRUE(setValue(path, "CLIENT", "token", "abc"));
    ASSERT_TRUE(setValue(path, "Config", "AutoConnect", "false"));
    ASSERT_TRUE(setValue(path, "MPID", "MPAccountName", "Pilot"));
    EXPECT_EQ(content(),
              "[CLIENT]\nVersion=1.0\n; note\n\ntoken=abc\n[Config]\nWindowMode=true\n"
              "AutoConnect=false\n[MPID]\nMPAccountName=Pilot\n");
}

TEST_F(IniTest, SetValueIgnoresWhiteSpaceInKeysAndReplacesEveryMatchingLine) {
    write("[CLIENT]\nVersion = 1.0 ; old\n V e r s i o n\nVersion=2\nOther=x\n");
    EXPECT_EQ(getValue(path, "CLIENT", "Version"), "2");
    ASSERT_TRUE(setValue(path, "CLIENT", "Version", "3.0"));
    EXPECT_EQ(content(), "[CLIENT]\nVersion=3.0\nVersion=3.0\nVersion=3.0\nOther=x\n");
}

TEST_F(IniTest, HeaderWithCommentIsAHeaderOnlyForGetValue) {
    write("[CLIENT] ; comment\nVersion=1.0\n");
    ASSERT_TRUE(setValue(path, "CLIENT", "Version", "2.0"));
    EXPECT_EQ(content(), "[CLIENT] ; comment\nVersion=1.0\n[CLIENT]\nVersion=2.0\n");
    EXPECT_EQ(getValue(path, "CLIENT", "Version"), "1.0") << "first match in file order wins";
}

TEST_F(IniTest, SetValueKeepsUnrelatedLinesAndReadsWindowsLineEnds) {
    write("; settings\r\n[CLIENT]\r\nVersion=1.0\r\n\r\n[Config]\r\nWindowMode=true\r\n");
    ASSERT_TRUE(setValue(path, "CLIENT", "Version", "1.1"));
    EXPECT_EQ(content(), "; settings\n[CLIENT]\nVersion=1.1\n\n[Config]\nWindowMode=true\n");
}

// A write that fails is never dropped silently: the log names the file.
TEST_F(IniTest, SetValueFailsWhenTheFolderCannotBeCreated) {
    useUserFolder(dir);
    writeFile(dir.file("blocker"), "a file where a folder should be");
    const std::string blocked = dir.file("blocker/sub/ClientSettings.ini");
    EXPECT_FALSE(setValue(blocked, "CLIENT", "token", "x"));
    const auto log = logMessages();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].rfind("Error writing " + blocked + ": ", 0), 0u) << log[0];
}

#ifdef _WIN32
// Another program holding the settings file open (a virus scanner, an editor) makes Windows refuse
// to replace it for a moment: the write waits that moment out, and one that outlasts the wait is
// logged with the file's name and leaves the file as it was.
TEST_F(IniTest, SetValueWaitsForAFileHeldOpenAndLogsOneHeldTooLong) {
    useUserFolder(dir);
    write("[CLIENT]\nVersion=1.0\n");
    const std::u16string wide = toWide(path);
    for (const int heldMs : {300, 4000}) {
        // Shared for reading and writing, not for deleting: a rename over it fails meanwhile.
        HANDLE held = CreateFileW(reinterpret_cast<const wchar_t*>(wide.c_str()), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(held, INVALID_HANDLE_VALUE);
        std::thread release([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(heldMs));
            CloseHandle(held);
        });
        const bool written = setValue(path, "CLIENT", "Version", std::to_string(heldMs));
        release.join();
        EXPECT_EQ(written, heldMs < 1000) << heldMs;
        EXPECT_EQ(getValue(path, "CLIENT", "Version"), "300") << "the write that got through";
        EXPECT_EQ(filesBeside(), 1) << heldMs;
    }
    const auto log = logMessages();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].rfind("Error writing " + path + ": ", 0), 0u) << log[0];
}
#endif

// A player's documents folder below a user name outside ASCII: the folder made, the file written
// and the file read back must all be the one the narrow path names, with no garbled twin beside.
TEST_F(IniTest, SetValueReachesAFileBelowANonAsciiFolder) {
    const std::string user = "J\xC3\xBCrgen \xE5\xB1\xB1\xE7\x94\xB0";
    const std::string nonAscii = dir.file(user + "/My Games/ORV/ClientSettings.ini");
    ASSERT_TRUE(setValue(nonAscii, "CLIENT", "token", "1a2b"));
    ASSERT_TRUE(setValue(nonAscii, "CLIENT", "Version", "1.0"));
    EXPECT_EQ(getValue(nonAscii, "CLIENT", "token"), "1a2b");

    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir.path()))
        names.push_back(pathText(entry.path().filename()));
    EXPECT_EQ(names, std::vector<std::string>{user});
    EXPECT_TRUE(fs::is_regular_file(toPath(nonAscii)));
}

#ifndef _WIN32
// A write that cannot complete (here: the file size limit, as on a full disk) must leave the old
// file exactly as it was, report failure and leave no temporary file behind.
TEST_F(IniTest, FailedWriteLeavesTheOldFileIntact) {
    const std::string original = "[CLIENT]\nVersion=1.0\ntoken=abc\n";
    write(original);
    bool written = true;
    {
        const FileSizeLimit full(16);
        ASSERT_TRUE(full.active());
        written = setValue(path, "CLIENT", "Version", std::string(200, '9'));
    }
    EXPECT_FALSE(written);
    EXPECT_EQ(content(), original);
    EXPECT_EQ(filesBeside(), 1);
}
#endif

TEST_F(IniTest, ConcurrentWritersLoseNoKeyAndLeaveNoTemporaryFiles) {
    constexpr int threads = 8, keysPerThread = 25;
    auto key = [](int t, int k) { return "t" + std::to_string(t) + "k" + std::to_string(k); };
    std::vector<std::thread> writers;
    for (int t = 0; t < threads; ++t) {
        writers.emplace_back([&, t] {
            for (int k = 0; k < keysPerThread; ++k)
                setValue(path, t % 2 ? "CLIENT" : "Config", key(t, k), key(t, k) + "-value");
        });
    }
    for (auto& writer : writers) writer.join();
    for (int t = 0; t < threads; ++t)
        for (int k = 0; k < keysPerThread; ++k)
            EXPECT_EQ(getValue(path, t % 2 ? "CLIENT" : "Config", key(t, k)), key(t, k) + "-value");
    EXPECT_EQ(filesBeside(), 1);
}

TEST(ParsePairs, ReadsManifestLinesWithItsOwnRules) {
    const auto pairs = IniDocument::parsePairs(
        "[section]\n# comment = skipped\n; comment = skipped\n"
        " ;key = indented semicolon is a key\n"
        "Astrovance\\EXE\\Astrovance.exe = 352441c2\r\n"
        "no equals sign\n\ntwo=a=b\ndup = first\ndup = second\n[with=equals]\n"
        "last=no line end");
    const std::map<std::string, std::string> expected = {
        {";key", "indented semicolon is a key"},
        {"Astrovance\\EXE\\Astrovance.exe", "352441c2"},
        {"[with", "equals]"},
        {"dup", "second"},
        {"last", "no line end"},
        {"two", "a=b"},
    };
    EXPECT_EQ(pairs, expected);
    EXPECT_EQ(IniDocument::trim("  \t\r\n"), "");
    EXPECT_EQ(IniDocument::trim("\fx\v"), "\fx\v") << "only blanks, tabs and line ends go";
}

TEST(ReadClientVersion, WritesAndReturnsTheDefaultWhenMissing) {
    TempDir dir;
    setUserPaths(dir.file("Documents"));
    EXPECT_EQ(readClientVersion(), "0.0.0");
    EXPECT_EQ(getValue(clientSettingsPath.get(), "CLIENT", "Version"), "0.0.0");
    setValue(clientSettingsPath.get(), "CLIENT", "Version", "1.10");
    EXPECT_EQ(readClientVersion(), "1.10");
}

}  // namespace
