#include "patch/version_file.h"

#include <gtest/gtest.h>

#include "tests/patch/patch_fixture.h"

namespace {

TEST(VersionOrder, ComparesBytesNotNumbers) {
    // Each pair lower first. A proper prefix is lower; bytes above 127 sort above ASCII, whatever
    // the signedness of char.
    const std::pair<const char*, const char*> ordered[] = {
        {"1.10", "1.9"}, {"1.0", "1.0.1"}, {"", "0.0.0"}, {"1.A", "1.a"}, {"1.9", "1.\xC3\xA9"}};
    for (const auto& [low, high] : ordered) {
        EXPECT_TRUE(versionLess(low, high)) << low << " < " << high;
        EXPECT_FALSE(versionLess(high, low)) << high << " < " << low;
    }
    EXPECT_FALSE(versionLess("1.4", "1.4"));
}

// The updates as "version type path" lines joined with "; ".
std::string listed(const VersionInfo& info) {
    std::string text;
    for (const auto& update : info.updates)
        text += (text.empty() ? "" : "; ") + update.version + " " + update.type + " " + update.path;
    return text;
}

TEST(ReadVersionFile, ReadsTheSectionsAndKeepsUpdatesFromTheLastFullArchiveOn) {
    struct Case {
        const char* text;
        const char* current;
        const char* launcher;
        const char* updates;
    };
    const Case cases[] = {
        // Comments, CR LF, blanks around "=" and ",", lines without comma or "=", other sections.
        // The full 1.10 drops 1.9 listed before it; 1.2 after it stays and sorts after 1.10.
        {"; comment\r\n# comment\r\n[CurrentVersion]\r\nVersion = 1.10\r\n[Launcher]\r\n"
         "Version=0.0.3\r\n[Updates]\r\n1.9 = inc, /updates/1.9/hashes.ini\r\n"
         "1.10=full,/updates/1.10/ORV.zip\r\n1.2 = inc , /updates/1.2/hashes.ini \r\n"
         "1.3 = inc without comma\r\nno pair here\r\n[Other]\r\n1.5 = inc, /elsewhere\r\n",
         "1.10", "0.0.3", "1.10 full /updates/1.10/ORV.zip; 1.2 inc /updates/1.2/hashes.ini"},
        // The later line of a version wins; the last current and launcher version count.
        {"[CurrentVersion]\nVersion = 1.3\nAgain = 1.4\n[Launcher]\nVersion = 0.0.1\n"
         "Version = 0.0.2\n[Updates]\n1.2 = inc, /first\n1.2 = other, /second\n",
         "1.4", "0.0.2", "1.2 other /second"},
        // Updates listed before the current version count only from a full archive on.
        {"[Updates]\n1.1 = inc, /a\n1.2 = inc, /b\n[CurrentVersion]\nVersion = 1.2\n", "1.2", "",
         ""},
        {"[Updates]\n1.0 = inc, /a\n1.1 = full, /b\n1.2 = inc, /c\n[CurrentVersion]\nVersion = 1.2\n",
         "1.2", "", "1.1 full /b; 1.2 inc /c"},
        // Section names are exact; only the trimmed line opens the Updates section.
        {"[CurrentVersion]\nVersion = 1.2\n[ Updates ]\n1.1 = inc, /spaced\n[updates]\n"
         "1.1 = inc, /lower\n  [Updates]  \n1.2 = inc, /trimmed\n",
         "1.2", "", "1.2 inc /trimmed"},
        {"", "", "", ""},
        {"Version = 1.0\n", "", "", ""},
        // A byte-order mark belongs to the first line: the section it starts is not recognised.
        {"\xEF\xBB\xBF[CurrentVersion]\nVersion = 1.0\n", "", "", ""},
    };
    for (const Case& c : cases) {
        const VersionInfo info = readVersionFile(c.text);
        EXPECT_EQ(info.currentVersion, c.current) << c.text;
        EXPECT_EQ(info.launcherVersion, c.launcher) << c.text;
        EXPECT_EQ(listed(info), c.updates) << c.text;
    }
}

using FetchVersionTest = PatchTest;

TEST_F(FetchVersionTest, FetchesAnewEveryTimeAndGivesNothingOnFailure) {
    server.script("/version.ini",
                  {answer(200, "[CurrentVersion]\nV = 1.1\n[Launcher]\nV = 0.0.5\n"),
                   answer(200, "[CurrentVersion]\nV = 1.2\n[Launcher]\nV = 0.0.5\n"),
                   answer(200, "[CurrentVersion]\nV = 1.2\n[Launcher]\nV = 0.0.6\n"), answer(404)});
    EXPECT_EQ(fetchServerVersion(server.url()), "1.1");
    EXPECT_EQ(fetchServerVersion(server.url()), "1.2");
    EXPECT_EQ(fetchLauncherVersion(server.url()), "0.0.6");
    const auto failed = fetchVersionInfo(server.url());
    EXPECT_EQ(failed.currentVersion + failed.launcherVersion + listed(failed), "");
}

}  // namespace
