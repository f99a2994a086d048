#include "patch/version_file.h"

#include <gtest/gtest.h>

#include "tests/patch/patch_fixture.h"

namespace {

std::vector<std::string> versions(const VersionInfo& info) {
    std::vector<std::string> result;
    for (const auto& update : info.updates) result.push_back(update.version);
    return result;
}

TEST(VersionOrder, ComparesBytesNotNumbers) {
    EXPECT_TRUE(versionLess("1.10", "1.9"));
    EXPECT_FALSE(versionLess("1.9", "1.10"));
    EXPECT_TRUE(versionLess("1.0", "1.0.1")) << "a proper prefix is lower";
    EXPECT_FALSE(versionLess("1.0.1", "1.0"));
    EXPECT_FALSE(versionLess("1.4", "1.4"));
    EXPECT_TRUE(versionLess("", "0.0.0")) << "no version is lower than any";
    EXPECT_TRUE(versionLess("1.A", "1.a"));
    // Bytes above 127 sort above ASCII, whatever the signedness of char.
    EXPECT_TRUE(versionLess("1.9", "1.\xC3\xA9"));
}

TEST(ReadVersionFile, ReadsTheThreeSectionsInVersionOrder) {
    const auto info = readVersionFile(
        "; the server's version file\r\n"
        "# another comment\r\n"
        "[CurrentVersion]\r\n"
        "Version = 1.10\r\n"
        "[Launcher]\r\n"
        "Version=0.0.3\r\n"
        "[Updates]\r\n"
        "1.9 = inc, /updates/1.9/hashes.ini\r\n"
        "1.10=full,/updates/1.10/ORV.zip\r\n"
        "1.2 = inc , /updates/1.2/hashes.ini \r\n"
        "1.3 = inc without comma\r\n"
        "no pair here\r\n"
        "[Other]\r\n"
        "1.5 = inc, /elsewhere\r\n");
    EXPECT_EQ(info.currentVersion, "1.10");
    EXPECT_EQ(info.launcherVersion, "0.0.3");
    // The full 1.10 drops 1.9 above it; 1.2 below it stays and sorts after 1.10.
    ASSERT_EQ(versions(info), (std::vector<std::string>{"1.10", "1.2"}));
    EXPECT_EQ(info.updates[0].type, "full");
    EXPECT_EQ(info.updates[0].path, "/updates/1.10/ORV.zip");
    EXPECT_EQ(info.updates[1].type, "inc");
    EXPECT_EQ(info.updates[1].path, "/updates/1.2/hashes.ini");
}

TEST(ReadVersionFile, FullUpdateDiscardsEarlierEntriesButKeepsLaterOnes) {
    const auto info = readVersionFile(
        "[CurrentVersion]\nVersion = 2.0\n"
        "[Updates]\n"
        "1.1 = inc, /u/1.1/hashes.ini\n"
        "1.2 = inc, /u/1.2/hashes.ini\n"
        "1.5 = full, /u/1.5/ORV.zip\n"
        "1.0.9 = inc, /u/1.0.9/hashes.ini\n"
        "1.6 = inc, /u/1.6/hashes.ini\n");
    ASSERT_EQ(versions(info), (std::vector<std::string>{"1.0.9", "1.5", "1.6"}));
    EXPECT_EQ(info.updates[1].type, "full");
    EXPECT_EQ(info.updates[1].path, "/u/1.5/ORV.zip");
    EXPECT_EQ(info.updates[0].type, "inc");
    EXPECT_EQ(info.updates[0].path, "/u/1.0.9/hashes.ini");
}

TEST(ReadVersionFile, LaterLineOfTheSameVersionWinsAndLastCurrentVersionCounts) {
    const auto info = readVersionFile(
        "[CurrentVersion]\nVersion = 1.3\nAgain = 1.4\n"
        "[Launcher]\nVersion = 0.0.1\nVersion = 0.0.2\n"
        "[Updates]\n"
        "1.2 = inc, /first\n"
        "1.2 = other, /second\n");
    EXPECT_EQ(info.currentVersion, "1.4");
    EXPECT_EQ(info.launcherVersion, "0.0.2");
    ASSERT_EQ(info.updates.size(), 1u);
    EXPECT_EQ(info.updates[0].type, "other");
    EXPECT_EQ(info.updates[0].path, "/second");
}

TEST(ReadVersionFile, UpdatesBeforeCurrentVersionWithoutFullAreDropped) {
    const auto info = readVersionFile(
        "[Updates]\n1.1 = inc, /u/1.1/hashes.ini\n1.2 = inc, /u/1.2/hashes.ini\n"
        "[CurrentVersion]\nVersion = 1.2\n");
    EXPECT_EQ(info.currentVersion, "1.2");
    EXPECT_TRUE(info.updates.empty());

    const auto withFull = readVersionFile(
        "[Updates]\n1.0 = inc, /a\n1.1 = full, /u/1.1/ORV.zip\n1.2 = inc, /u/1.2/hashes.ini\n"
        "[CurrentVersion]\nVersion = 1.2\n");
    EXPECT_EQ(versions(withFull), (std::vector<std::string>{"1.1", "1.2"}));
}

TEST(ReadVersionFile, SectionNamesAreExact) {
    const auto info = readVersionFile(
        "[CurrentVersion]\nVersion = 1.2\n"
        "[ Updates ]\n1.1 = inc, /spaced\n"
        "[updates]\n1.1 = inc, /lower\n"
        "  [Updates]  \n1.2 = inc, /trimmed/line\n");
    ASSERT_EQ(info.updates.size(), 1u) << "only the trimmed line opens the Updates section";
    EXPECT_EQ(info.updates[0].path, "/trimmed/line");
}

TEST(ReadVersionFile, EmptyOrUnrelatedTextGivesNothing) {
    for (const std::string text :
         {"", "\n\n", "\xEF\xBB\xBF", "Version = 1.0\n", "[CurrentVersion]\n"}) {
        const auto info = readVersionFile(text);
        EXPECT_EQ(info.currentVersion, "") << text;
        EXPECT_EQ(info.launcherVersion, "") << text;
        EXPECT_TRUE(info.updates.empty()) << text;
    }
    // A byte-order mark belongs to the first line: the section it starts is not recognised.
    EXPECT_EQ(readVersionFile("\xEF\xBB\xBF[CurrentVersion]\nVersion = 1.0\n").currentVersion, "");
}

class FetchVersionTest : public PatchTest {};

TEST_F(FetchVersionTest, FetchesAnewEveryTimeAndGivesNothingOnFailure) {
    server.script("/version.ini",
                  {answer(200, "[CurrentVersion]\nV = 1.1\n[Launcher]\nV = 0.0.5\n"),
                   answer(200, "[CurrentVersion]\nV = 1.2\n[Launcher]\nV = 0.0.5\n"),
                   answer(200, "[CurrentVersion]\nV = 1.2\n[Launcher]\nV = 0.0.6\n"), answer(404)});
    EXPECT_EQ(fetchServerVersion(server.url()), "1.1");
    EXPECT_EQ(fetchServerVersion(server.url()), "1.2");
    EXPECT_EQ(fetchLauncherVersion(server.url()), "0.0.6");
    const auto failed = fetchVersionInfo(server.url());
    EXPECT_EQ(failed.currentVersion, "");
    EXPECT_EQ(failed.launcherVersion, "");
    EXPECT_TRUE(failed.updates.empty());
}

}  // namespace
