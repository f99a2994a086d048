#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <thread>

#include "core/patch_progress.h"
#include "core/text.h"
#include "integrity/exclusions.h"
#include "patch/extract_entries.h"
#include "patch/updates.h"
#include "tests/support/links.h"
#include "tests/patch/update_test_support.h"

namespace fs = std::filesystem;

namespace {

class ZipUpdateTest : public UpdateTest {
protected:
    // Publishes a full update: the archive of `entries`, its manifest and its checksum file.
    void publish(const std::vector<ZipEntry>& entries, const std::string& manifest) {
        writeZip(serverFolder / "full" / "ORV.zip", entries);
        serve("full/hashes.ini", manifest);
        serve("full/full.ini",
              "full.zip = " + checksumText(readFile(serverFolder / "full" / "ORV.zip")) + "\n");
    }
    void keepArchiveLocally() {
        fs::copy_file(serverFolder / "full" / "ORV.zip", root / "ORV.zip");
    }
    int archiveDownloads() const { return server.requests("/u/full/ORV.zip"); }
    void update() { updateFilesFromZip(updateUrl("full/ORV.zip"), installationRoot); }

    // The log from "Starting ZIP Extraction" on, without the lines of the downloads.
    std::vector<std::string> updateLog() const {
        const auto log = logMessages();
        std::vector<std::string> lines;
        bool started = false;
        for (const std::string& line : log) {
            started = started || line == "Starting ZIP Extraction";
            if (started && line.rfind("The processing took: ", 0) != 0) lines.push_back(line);
        }
        return lines;
    }
};

const std::vector<ZipEntry> threeFiles = {
    {"Astrovance/", "", ""},
    {"Astrovance/EXE/Astrovance.exe", "an executable", ""},
    {"Astrovance/data/a.dat", "alpha", ""},
    {"Astrovance/readme.txt", "read me", ""},
};

std::string manifestOf(const std::vector<ZipEntry>& entries) {
    std::string text;
    for (const ZipEntry& entry : entries) {
        if (entry.name.back() == '/' || !entry.linkTarget.empty()) continue;
        text += entry.name.substr(std::string("Astrovance/").size()) + " = " +
                checksumText(entry.content) + "\n";
    }
    return text;
}

TEST_F(ZipUpdateTest, FirstInstallationDownloadsTheArchiveAndExtractsEveryEntry) {
    publish(threeFiles, "EXE\\Astrovance.exe = " + checksumText("an executable") +
                            "\ndata/a.dat = " + checksumText("alpha") +
                            "\nreadme.txt = " + checksumText("read me") + "\n");
    scan();
    update();

    EXPECT_EQ(archiveDownloads(), 1);
    EXPECT_EQ(readFile(root / "ORV.zip"), readFile(serverFolder / "full" / "ORV.zip"));
    EXPECT_EQ(readFile(gameFile("EXE/Astrovance.exe")), "an executable");
    EXPECT_EQ(readFile(gameFile("data/a.dat")), "alpha");
    EXPECT_EQ(readFile(gameFile("readme.txt")), "read me");

    const auto log = logMessages();
    EXPECT_EQ(linesStarting(log, "ZIP "),
              (std::vector<std::string>{"ZIP file not found, starting download...",
                                        "ZIP hash matches, download successful."}));
    const std::vector<std::string> expectedTail = {
        "Patched: Astrovance/EXE/Astrovance.exe",
        "Patched: Astrovance/data/a.dat",
        "Patched: Astrovance/readme.txt",
        "Total number of data: 3",
        "Number of processed data: 3",
        "Exceptions: " + std::to_string(excludedCount.load()),
    };
    const auto lines = updateLog();
    ASSERT_GE(lines.size(), expectedTail.size());
    EXPECT_EQ(
        std::vector<std::string>(lines.end() - static_cast<long>(expectedTail.size()), lines.end()),
        expectedTail);
    EXPECT_EQ(linesStarting(log, "The processing took: ").size(), 2u);  // the scan's and ours
    EXPECT_EQ(PatchProgress.overallProgress, 100);
    EXPECT_EQ(PatchProgress.fileProgress, 100);
    EXPECT_EQ(PatchProgress.phase, Patching);
    EXPECT_EQ(PatchProgress.fileName.get(), u"readme.txt");

    // Again over the intact installation: the kept archive matches and nothing is extracted.
    fs::last_write_time(gameFile("data/a.dat"),
                        fs::file_time_type::clock::now() - std::chrono::hours(1));
    const auto stamp = fs::last_write_time(gameFile("data/a.dat"));
    scan();
    update();
    EXPECT_EQ(archiveDownloads(), 1);
    EXPECT_EQ(fs::last_write_time(gameFile("data/a.dat")), stamp);
    EXPECT_TRUE(hasLine(logMessages(), "Number of processed data: 0"));
}

TEST_F(ZipUpdateTest, MatchingLocalArchiveIsUsedWithoutDownload) {
    publish(threeFiles, manifestOf(threeFiles));
    keepArchiveLocally();
    update();

    EXPECT_EQ(archiveDownloads(), 0);
    EXPECT_EQ(linesStarting(logMessages(), "ZIP "),
              (std::vector<std::string>{"ZIP hash matches, download successful."}));
    EXPECT_EQ(readFile(gameFile("data/a.dat")), "alpha");
}

TEST_F(ZipUpdateTest, DifferingLocalArchiveIsReplaced) {
    publish(threeFiles, manifestOf(threeFiles));
    writeFile(root / "ORV.zip", "a broken archive");
    update();

    EXPECT_EQ(archiveDownloads(), 1);
    EXPECT_EQ(linesStarting(logMessages(), "ZIP "),
              (std::vector<std::string>{"ZIP hash does not match, attempting to resume download...",
                                        "ZIP hash matches, download successful."}));
    EXPECT_EQ(readFile(gameFile("readme.txt")), "read me");
}

TEST_F(ZipUpdateTest, EntryListedButAbsentFromTheArchiveIsReportedInItsPlace) {
    publish(threeFiles, manifestOf(threeFiles) + "data/b.dat = 99\n");
    keepArchiveLocally();
    update();

    const auto lines = updateLog();
    const auto at = std::find(lines.begin(), lines.end(), "Patched: Astrovance/data/b.dat");
    ASSERT_NE(at, lines.end());
    ASSERT_NE(at + 1, lines.end());
    EXPECT_EQ(*(at + 1), "File in Versionfile not found!");
    EXPECT_EQ(*(at + 2), "Patched: Astrovance/readme.txt");
    EXPECT_TRUE(hasLine(lines, "Number of processed data: 4"));
    EXPECT_EQ(readFile(gameFile("readme.txt")), "read me");
    EXPECT_EQ(PatchProgress.overallProgress, 100);
}

TEST_F(ZipUpdateTest, LogFollowsManifestOrderWhateverTheArchiveOrder) {
    const std::vector<ZipEntry> reversed = {
        {"Astrovance/z.txt", "zulu", ""},
        {"Astrovance/m.txt", "mike", ""},
        {"Astrovance/a.txt", "alpha", ""},
    };
    publish(reversed, manifestOf(reversed) + "k.txt = 5\n");
    keepArchiveLocally();
    update();

    const auto lines = updateLog();
    const std::vector<std::string> expected = {
        "Starting ZIP Extraction",        "ZIP hash matches, download successful.",
        "Patched: Astrovance/a.txt",      "Patched: Astrovance/k.txt",
        "File in Versionfile not found!", "Patched: Astrovance/m.txt",
        "Patched: Astrovance/z.txt",      "Total number of data: 4",
        "Number of processed data: 4",    "Exceptions: " + std::to_string(excludedCount.load()),
    };
    EXPECT_EQ(lines, expected);
    EXPECT_EQ(readFile(gameFile("z.txt")), "zulu");
    EXPECT_EQ(readFile(gameFile("a.txt")), "alpha");
}

TEST_F(ZipUpdateTest, MissingChecksumFileCostsThreeDownloadsAndTheArchiveIsStillUsed) {
    publish(threeFiles, manifestOf(threeFiles));
    fs::remove(serverFolder / "full" / "full.ini");
    update();

    EXPECT_EQ(archiveDownloads(), 3);
    const auto log = logMessages();
    EXPECT_EQ(
        linesStarting(log, "ZIP "),
        (std::vector<std::string>{"ZIP file not found, starting download...",
                                  "ZIP hash does not match, attempting to resume download...",
                                  "ZIP hash does not match, attempting to resume download..."}));
    EXPECT_TRUE(hasLine(log, "Failed to download ZIP correctly after 3 attempts."));
    EXPECT_EQ(readFile(gameFile("data/a.dat")), "alpha");
}

TEST_F(ZipUpdateTest, ExcludedEntryIsNeitherExtractedNorCounted) {
    const std::vector<ZipEntry> withSvn = {
        {"Astrovance/.svn/entries", "svn", ""},
        {"Astrovance/a.txt", "alpha", ""},
        {"Astrovance/b.txt", "bravo", ""},
        {"Astrovance/c.txt", "charlie", ""},
    };
    publish(withSvn, manifestOf(withSvn));
    keepArchiveLocally();
    const int excludedBefore = excludedCount;
    update();

    EXPECT_EQ(excludedCount - excludedBefore, 1);
    EXPECT_FALSE(fs::exists(gameFile(".svn")));
    EXPECT_EQ(readFile(gameFile("c.txt")), "charlie");
    const auto log = logMessages();
    EXPECT_TRUE(hasLine(log, "Total number of data: 4"));
    EXPECT_TRUE(hasLine(log, "Number of processed data: 3"));
    EXPECT_TRUE(linesStarting(log, "Patched: Astrovance/.svn").empty());
    EXPECT_EQ(PatchProgress.overallProgress, 100);
}

TEST_F(ZipUpdateTest, ProgressCountsExaminedEntriesButNotExcludedOnes) {
    const std::vector<ZipEntry> entries = {
        {"Astrovance/.svn/entries", "svn", ""},
        {"Astrovance/a.txt", "alpha", ""},
        {"Astrovance/b.txt", "bravo", ""},
        {"Astrovance/c.txt", "charlie", ""},
    };
    install("a.txt", "alpha");
    install("b.txt", "bravo");
    scan();
    publish(entries, manifestOf(entries));
    keepArchiveLocally();

    // Holding the transfer lock stops the update right before its extraction, once every check
    // has run: the two current files count, the excluded one does not, the needed one not yet.
    std::unique_lock hold(PatchProgress.transferLock);
    std::thread updating([this] { update(); });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (PatchProgress.phase != Patching && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(PatchProgress.phase, Patching);
    EXPECT_EQ(PatchProgress.overallProgress, 50);
    EXPECT_FALSE(fs::exists(gameFile("c.txt")));
    hold.unlock();
    updating.join();

    EXPECT_EQ(readFile(gameFile("c.txt")), "charlie");
    EXPECT_EQ(PatchProgress.overallProgress, 100);
    EXPECT_TRUE(hasLine(logMessages(), "Number of processed data: 1"));
}

TEST_F(ZipUpdateTest, ArchiveThatCannotBeOpenedIsReportedPerEntry) {
    serve("full/hashes.ini", "a.txt = 1\nb.txt = 2\n");
    serve("full/ORV.zip", "not a zip file at all");
    serve("full/full.ini", "full.zip = " + checksumText("not a zip file at all") + "\n");
    update();

    const auto lines = updateLog();
    const std::vector<std::string> expected = {
        "Patched: Astrovance/a.txt",
        "Error when opening the archive",
        "Patched: Astrovance/b.txt",
        "Error when opening the archive",
    };
    const auto first = std::find(lines.begin(), lines.end(), expected.front());
    ASSERT_NE(first, lines.end());
    ASSERT_GE(lines.end() - first, 4);
    EXPECT_EQ(std::vector<std::string>(first, first + 4), expected);
    EXPECT_TRUE(hasLine(lines, "Number of processed data: 2"));
    EXPECT_EQ(PatchProgress.phase, Patching);
}

TEST_F(ZipUpdateTest, DamagedEntryFailsAloneAndTheEntriesAfterItAreStillExtracted) {
    std::string text;
    for (int i = 0; text.size() < 200000; ++i)
        text += "line " + std::to_string(i * 7919 % 1000) + "\n";
    writeZip(root / "ORV.zip", {{"Astrovance/a.txt", text, ""}, {"Astrovance/b.txt", "bravo", ""}});
    // Garble the middle of the first entry's compressed data.
    std::string bytes = readFile(root / "ORV.zip");
    for (std::size_t at = 200; at < 1200; ++at) bytes[at] = static_cast<char>(bytes[at] ^ 0x5A);
    writeFile(root / "ORV.zip", bytes);
    serve("full/hashes.ini",
          "a.txt = " + checksumText(text) + "\nb.txt = " + checksumText("bravo") + "\n");
    serve("full/ORV.zip", bytes);
    serve("full/full.ini", "full.zip = " + checksumText(bytes) + "\n");
    update();

    const auto lines = updateLog();
    const auto at = std::find(lines.begin(), lines.end(), "Patched: Astrovance/a.txt");
    ASSERT_NE(at, lines.end());
    ASSERT_GE(lines.end() - at, 3);
    EXPECT_EQ(*(at + 1), "Error when extracting the file");
    EXPECT_EQ(*(at + 2), "Patched: Astrovance/b.txt");
    EXPECT_EQ(readFile(gameFile("b.txt")), "bravo");
    EXPECT_EQ(archiveDownloads(), 0);
}

TEST_F(ZipUpdateTest, AnEntryWhoseCheckFailsIsLoggedAndTheOthersAreStillDone) {
#ifdef _WIN32
    GTEST_SKIP() << "Windows reports every name it refuses as absent, so no entry's check can be "
                    "made to fail here";
#endif
    // A name longer than any file system allows makes the file-system calls throw.
    const std::string tooLong(300, 'n');
    fs::create_directories(gameFile("a"));
    publish(threeFiles, manifestOf(threeFiles) + "a/" + tooLong + " = 1\n");
    keepArchiveLocally();
    update();

    const auto log = logMessages();
    EXPECT_EQ(linesStarting(log, "Error checking file a/" + tooLong).size(), 1u);
    EXPECT_EQ(readFile(gameFile("readme.txt")), "read me");
    EXPECT_TRUE(hasLine(log, "Number of processed data: 3"));
}

TEST_F(ZipUpdateTest, UnsafeManifestKeysAreSkippedAndNothingLandsOutside) {
    const std::vector<ZipEntry> hostile = {
        {"Astrovance/../x", "escaped", ""},
        {"Astrovance/../../x", "escaped", ""},
        {"Astrovance/a/../../../x", "escaped", ""},
        {"Astrovance/safe.txt", "safe", ""},
    };
    publish(hostile, "../x = 1\n..\\..\\x = 1\n/abs = 1\nC:\\x = 1\na/../../x = 1\nsafe.txt = " +
                         checksumText("safe") + "\n");
    keepArchiveLocally();
    update();

    const auto log = logMessages();
    for (const char* key : {"../x", "..\\..\\x", "/abs", "C:\\x", "a/../../x"})
        EXPECT_TRUE(hasLine(log, std::string("Unsafe path in manifest skipped: ") + key)) << key;
    EXPECT_EQ(filesBelow(dir.path() / "outer"),
              (std::vector<std::string>{"install/Astrovance/safe.txt", "install/ORV.zip"}));
    EXPECT_FALSE(fs::exists(dir.path() / "x"));
}

TEST_F(ZipUpdateTest, ClimbingAndAbsoluteArchiveEntriesAreRefused) {
    // Written with "/" as ZIP archives carry names; on Windows this is a drive path ("C:/...").
    std::string absolute = pathText(dir.path() / "absolute-evil");
    std::replace(absolute.begin(), absolute.end(), '\\', '/');
    writeZip(root / "ORV.zip", {{"Astrovance/../../evil", "escaped", ""},
                                {absolute, "escaped", ""},
                                {"Astrovance/fine.txt", "fine", ""}});
    ASSERT_EQ(zipEntryNames(root / "ORV.zip"),
              (std::vector<std::string>{"Astrovance/../../evil", absolute, "Astrovance/fine.txt"}));

    extractEntry("ORV.zip", "Astrovance/../../evil");
    extractEntry("ORV.zip", absolute);
    extractEntry("ORV.zip", "Astrovance/fine.txt");

    EXPECT_EQ(linesStarting(logMessages(), "Error when extracting the file").size(), 2u);
    EXPECT_FALSE(fs::exists(dir.path() / "outer" / "evil"));
    EXPECT_FALSE(fs::exists(dir.path() / "evil"));
    EXPECT_FALSE(fs::exists(dir.path() / "absolute-evil"));
    EXPECT_EQ(readFile(gameFile("fine.txt")), "fine");
}

TEST_F(ZipUpdateTest, ArchiveLinkEntriesNeverLeadOutsideTheInstallation) {
    SKIP_WITHOUT_SYMBOLIC_LINKS();
    const fs::path outside = dir.path() / "outside";
    fs::create_directories(outside);
    writeZip(root / "ORV.zip",
             {{"Astrovance/link", "", outside.string()}, {"Astrovance/link/evil", "escaped", ""}});

    extractEntry("ORV.zip", "Astrovance/link");
    extractEntry("ORV.zip", "Astrovance/link/evil");

    EXPECT_EQ(linesStarting(logMessages(), "Error when extracting the file").size(), 1u);
    EXPECT_TRUE(fs::is_empty(outside));
    EXPECT_EQ(PatchProgress.fileName.get(), u"link/evil");
}

TEST_F(ZipUpdateTest, ArchiveLinkCannotCarryALaterEntryOutside) {
    SKIP_WITHOUT_SYMBOLIC_LINKS();
    const fs::path outside = dir.path() / "outside";
    fs::create_directories(outside);
    const std::vector<ZipEntry> hostile = {
        {"Astrovance/link", "", outside.string()},
        {"Astrovance/link/evil", "escaped", ""},
        {"Astrovance/fine.txt", "fine", ""},
    };
    publish(hostile, "link = 1\nlink/evil = " + checksumText("escaped") +
                         "\nfine.txt = " + checksumText("fine") + "\n");
    keepArchiveLocally();
    update();

    EXPECT_TRUE(fs::is_empty(outside));
    EXPECT_EQ(readFile(gameFile("fine.txt")), "fine");
    const auto lines = updateLog();
    const auto at = std::find(lines.begin(), lines.end(), "Patched: Astrovance/link/evil");
    ASSERT_NE(at, lines.end());
    EXPECT_EQ(*(at + 1), "Error when extracting the file");

    // Once the link is on disk, a later update refuses the key that leads through it.
    update();
    EXPECT_TRUE(hasLine(logMessages(), "Unsafe path in manifest skipped: link/evil"));
    EXPECT_TRUE(fs::is_empty(outside));
}

TEST_F(ZipUpdateTest, SingleEntryExtraction) {
    writeZip(root / "ORV.zip", threeFiles);
    extractEntry("ORV.zip", "Astrovance/data/a.dat");
    extractEntry("ORV.zip", "Astrovance/data/none.dat");
    extractEntry("missing.zip", "Astrovance/data/a.dat");

    EXPECT_EQ(readFile(gameFile("data/a.dat")), "alpha");
    EXPECT_FALSE(fs::exists(gameFile("readme.txt")));
    EXPECT_EQ(logMessages(), (std::vector<std::string>{"File in Versionfile not found!",
                                                       "Error when opening the archive"}));
    EXPECT_EQ(PatchProgress.phase, Patching);
}

}  // namespace
