#include "core/ini_document.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "core/text.h"
#include "core/user_paths.h"
#include "tests/support/file_size_limit.h"
#include "tests/support/temp_dir.h"

namespace {

using IniDocument::getValue;
using IniDocument::setValue;

class IniTest : public testing::Test {
protected:
    TempDir dir;
    std::string path = dir.file("settings/ClientSettings.ini");

    void write(const std::string& content) { writeFile(path, content); }
    // The file as text mode reads it back: on Windows the lines end in CR LF on disk (see
    // WindowsWritesCrLfLineEnds).
    std::string content() const {
        std::string text = readFile(path);
#ifdef _WIN32
        for (auto at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", at))
            text.erase(at, 1);
#endif
        return text;
    }
};

#ifdef _WIN32
TEST_F(IniTest, WindowsWritesCrLfLineEnds) {
    ASSERT_TRUE(setValue(path, "CLIENT", "token", "1a2b"));
    EXPECT_EQ(readFile(path), "[CLIENT]\r\ntoken=1a2b\r\n");
}
#endif

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

TEST_F(IniTest, GetValueReadsWindowsLineEnds) {
    write("[CLIENT]\r\nVersion=1.4\r\n[Config]\r\nWindowMode=true\r\n");
    EXPECT_EQ(getValue(path, "CLIENT", "Version"), "1.4");
    EXPECT_TRUE(IniDocument::getFlag(path, "Config", "WindowMode"));
}

TEST_F(IniTest, GetFlagIsTrueOnlyForExactlyTrue) {
    write("[Config]\nA=true\nB=True\nC=1\nD= true \n");
    EXPECT_TRUE(IniDocument::getFlag(path, "Config", "A"));
    EXPECT_FALSE(IniDocument::getFlag(path, "Config", "B"));
    EXPECT_FALSE(IniDocument::getFlag(path, "Config", "C"));
    EXPECT_TRUE(IniDocument::getFlag(path, "Config", "D")) << "blanks around the value are trimmed";
    EXPECT_FALSE(IniDocument::getFlag(path, "Config", "Missing"));
}

TEST_F(IniTest, SetValueOnMissingFileCreatesFolderFileSectionAndEntry) {
    ASSERT_TRUE(setValue(path, "CLIENT", "token", "1a2b"));
    EXPECT_EQ(content(), "[CLIENT]\ntoken=1a2b\n");
}

TEST_F(IniTest, SetValuePlacesMissingKeyAtTheEndOfItsSection) {
    write("[CLIENT]\nVersion=1.0\n; note\n\n[Config]\nWindowMode=true\n");
    ASSERT_TRUE(setValue(path, "CLIENT", "token", "abc"));
    EXPECT_EQ(content(), "[CLIENT]\nVersion=1.0\n; note\n\ntoken=abc\n[Config]\nWindowMode=true\n");

    ASSERT_TRUE(setValue(path, "Config", "AutoConnect", "false"));
    EXPECT_EQ(content(),
              "[CLIENT]\nVersion=1.0\n; note\n\ntoken=abc\n[Config]\nWindowMode=true\n"
              "AutoConnect=false\n");

    ASSERT_TRUE(setValue(path, "MPID", "MPAccountName", "Pilot"));
    EXPECT_TRUE(content().ends_with("AutoConnect=false\n[MPID]\nMPAccountName=Pilot\n"));
}

TEST_F(IniTest, SetValueIgnoresWhiteSpaceInKeysAndReplacesEveryMatchingLine) {
    write("[CLIENT]\nVersion = 1.0 ; old\n V e r s i o n\nVersion=2\nOther=x\n");
    EXPECT_EQ(getValue(path, "CLIENT", "Version"), "2");
    ASSERT_TRUE(setValue(path, "CLIENT", "Version", "3.0"));
    EXPECT_EQ(content(), "[CLIENT]\nVersion=3.0\nVersion=3.0\nVersion=3.0\nOther=x\n");
    EXPECT_EQ(getValue(path, "CLIENT", "Version"), "3.0");
}

TEST_F(IniTest, HeaderWithCommentOrLeadingBlankIsAHeaderOnlyForGetValue) {
    write("[CLIENT] ; comment\nVersion=1.0\n");
    EXPECT_EQ(getValue(path, "CLIENT", "Version"), "1.0");
    ASSERT_TRUE(setValue(path, "CLIENT", "Version", "2.0"));
    // setValue saw no [CLIENT] header, so it appended a new section.
    EXPECT_EQ(content(), "[CLIENT] ; comment\nVersion=1.0\n[CLIENT]\nVersion=2.0\n");
    EXPECT_EQ(getValue(path, "CLIENT", "Version"), "1.0") << "first match in file order wins";
}

TEST_F(IniTest, SetValueKeepsUnrelatedLinesAndReadsWindowsLineEnds) {
    write("; settings\r\n[CLIENT]\r\nVersion=1.0\r\n\r\n[Config]\r\nWindowMode=true\r\n");
    ASSERT_TRUE(setValue(path, "CLIENT", "Version", "1.1"));
    EXPECT_EQ(content(), "; settings\n[CLIENT]\nVersion=1.1\n\n[Config]\nWindowMode=true\n");
}

TEST_F(IniTest, ValueWithSemicolonIsReadBackCut) {
    ASSERT_TRUE(setValue(path, "CLIENT", "token", "ab;cd"));
    EXPECT_EQ(getValue(path, "CLIENT", "token"), "ab");
}

TEST_F(IniTest, SetValueFailsWhenTheFolderCannotBeCreated) {
    writeFile(dir.file("blocker"), "a file where a folder should be");
    const std::string blocked = dir.file("blocker/sub/ClientSettings.ini");
    EXPECT_FALSE(setValue(blocked, "CLIENT", "token", "x"));
}

// A player's documents folder below a user name outside ASCII: the folder made, the file written
// and the file read back must all be the one the narrow path names, with no garbled twin beside.
TEST_F(IniTest, SetValueReachesAFileBelowANonAsciiFolder) {
    const std::string user = "J\xC3\xBCrgen \xE5\xB1\xB1\xE7\x94\xB0";
    const std::string nonAscii = dir.file(user + "/My Games/ORV/ClientSettings.ini");
    ASSERT_TRUE(setValue(nonAscii, "CLIENT", "token", "1a2b"));
    ASSERT_TRUE(setValue(nonAscii, "CLIENT", "Version", "1.0"));
    EXPECT_EQ(getValue(nonAscii, "CLIENT", "token"), "1a2b");

    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
        names.push_back(pathText(entry.path().filename()));
    EXPECT_EQ(names, std::vector<std::string>{user});
    EXPECT_TRUE(std::filesystem::is_regular_file(toPath(nonAscii)));
}

TEST_F(IniTest, SetValueLeavesNoTemporaryFilesBehind) {
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(setValue(path, "S", "k" + std::to_string(i), "v"));
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir.file("settings"))) {
        (void)entry;
        ++files;
    }
    EXPECT_EQ(files, 1);
}

#ifndef _WIN32
// A write that cannot complete (here: the file size limit, as on a full disk) must leave the old
// file exactly as it was and report failure.
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
}
#endif

TEST_F(IniTest, ConcurrentWritersLoseNoKey) {
    constexpr int threads = 8, keysPerThread = 25;
    std::vector<std::thread> writers;
    for (int t = 0; t < threads; ++t) {
        writers.emplace_back([&, t] {
            for (int k = 0; k < keysPerThread; ++k) {
                const std::string key = "t" + std::to_string(t) + "k" + std::to_string(k);
                setValue(path, t % 2 ? "CLIENT" : "Config", key, key + "-value");
            }
        });
    }
    for (auto& writer : writers) writer.join();
    for (int t = 0; t < threads; ++t) {
        for (int k = 0; k < keysPerThread; ++k) {
            const std::string key = "t" + std::to_string(t) + "k" + std::to_string(k);
            EXPECT_EQ(getValue(path, t % 2 ? "CLIENT" : "Config", key), key + "-value");
        }
    }
}

TEST(ParsePairs, ReadsManifestLinesWithItsOwnRules) {
    const auto pairs = IniDocument::parsePairs(
        "[section]\n"
        "# comment = skipped\n"
        "; comment = skipped\n"
        " ;key = indented semicolon is a key\n"
        "Astrovance\\EXE\\Astrovance.exe = 352441c2\r\n"
        "data/a.pak=6b9df6f\n"
        "no equals sign\n"
        "\n"
        "two=a=b\n"
        "dup = first\n"
        "dup = second\n"
        "[with=equals]\n"
        "last=no line end");
    const std::map<std::string, std::string> expected = {
        {";key", "indented semicolon is a key"},
        {"Astrovance\\EXE\\Astrovance.exe", "352441c2"},
        {"[with", "equals]"},
        {"data/a.pak", "6b9df6f"},
        {"dup", "second"},
        {"last", "no line end"},
        {"two", "a=b"},
    };
    EXPECT_EQ(pairs, expected);
}

TEST(Trim, StripsBlanksTabsAndLineEndsOnly) {
    EXPECT_EQ(IniDocument::trim("  \t\r\n"), "");
    EXPECT_EQ(IniDocument::trim("\t a b \r\n"), "a b");
    EXPECT_EQ(IniDocument::trim("\fx\v"), "\fx\v");
}

TEST(ReadClientVersion, WritesAndReturnsTheDefaultWhenMissing) {
    TempDir dir;
    setUserPaths(dir.file("Documents"));
    EXPECT_EQ(readClientVersion(), "0.0.0");
    EXPECT_EQ(IniDocument::getValue(clientSettingsPath.get(), "CLIENT", "Version"), "0.0.0");
    IniDocument::setValue(clientSettingsPath.get(), "CLIENT", "Version", "1.10");
    EXPECT_EQ(readClientVersion(), "1.10");
}

}  // namespace
