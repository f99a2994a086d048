#include <archive.h>
#include <archive_entry.h>
#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <thread>

#include "patch/extract_entries.h"
#include "patch/updates.h"
#include "tests/patch/patch_fixture.h"
#include "tests/support/links.h"

namespace {

struct ZipEntry {
    std::string name;
    std::string content;
    std::string linkTarget;  // not empty: a symbolic link to this target
};

// Writes a ZIP archive of the entries in the given order.
void writeZip(const fs::path& path, const std::vector<ZipEntry>& entries) {
    const std::unique_ptr<archive, decltype(&archive_write_free)> zip(archive_write_new(),
                                                                      &archive_write_free);
    archive_write_set_format_zip(zip.get());
    fs::create_directories(path.parent_path());
    if (archive_write_open_filename(zip.get(), path.string().c_str()) != ARCHIVE_OK)
        throw std::runtime_error("cannot write " + path.string());
    for (const ZipEntry& item : entries) {
        const std::unique_ptr<archive_entry, decltype(&archive_entry_free)> entry(
            archive_entry_new(), &archive_entry_free);
        const bool link = !item.linkTarget.empty();
        archive_entry_set_pathname(entry.get(), item.name.c_str());
        archive_entry_set_filetype(entry.get(), link ? AE_IFLNK : AE_IFREG);
        archive_entry_set_perm(entry.get(), link ? 0777 : 0644);
        archive_entry_set_size(entry.get(), static_cast<la_int64_t>(item.content.size()));
        if (link) archive_entry_set_symlink(entry.get(), item.linkTarget.c_str());
        if (archive_write_header(zip.get(), entry.get()) != ARCHIVE_OK)
            throw std::runtime_error(std::string("zip header: ") + archive_error_string(zip.get()));
        if (!item.content.empty())
            archive_write_data(zip.get(), item.content.data(), item.content.size());
    }
    if (archive_write_close(zip.get()) != ARCHIVE_OK) throw std::runtime_error("zip close");
}

// The manifest of the entries' files, keys without the leading "Astrovance/".
std::string manifestOf(const std::vector<ZipEntry>& entries) {
    std::string text;
    for (const ZipEntry& entry : entries) {
        if (entry.name.back() == '/' || !entry.linkTarget.empty()) continue;
        text += entry.name.substr(11) + " = " + checksumText(entry.content) + "\n";
    }
    return text;
}

const std::vector<ZipEntry> threeFiles = {
    {"Astrovance/", "", ""},
    {"Astrovance/EXE/Astrovance.exe", "an executable", ""},
    {"Astrovance/data/a.dat", "alpha", ""},
    {"Astrovance/readme.txt", "read me", ""},
};

class ZipUpdateTest : public PatchTest {
protected:
    // Publishes a full update: the archive of `entries`, its manifest and its checksum file.
    void publish(const std::vector<ZipEntry>& entries, const std::string& manifest) {
        writeZip(serverFolder / "full" / "ORV.zip", entries);
        publishBytes(readFile(serverFolder / "full" / "ORV.zip"), manifest);
    }
    void publishBytes(const std::string& archive, const std::string& manifest) {
        serve("full/ORV.zip", archive);
        serve("full/hashes.ini", manifest);
        serve("full/full.ini", "full.zip = " + checksumText(archive) + "\n");
    }
    void keepArchiveLocally() {
        fs::copy_file(serverFolder / "full" / "ORV.zip", root / "ORV.zip");
    }
    int archiveDownloads() const { return server.requests("/u/full/ORV.zip"); }
    void update() { updateFilesFromZip(server.url("/u/full/ORV.zip"), installationRoot); }

    // The log from "Starting ZIP Extraction" on, without the lines of the downloads and timings.
    static std::vector<std::string> updateLog() {
        std::vector<std::string> lines;
        bool started = false;
        for (const std::string& line : logMessages()) {
            started = started || line == "Starting ZIP Extraction";
            if (started && line.rfind("The processing took: ", 0) != 0) lines.push_back(line);
        }
        return lines;
    }
    // The `count` lines that follow `line` in the update's log.
    static std::vector<std::string> linesAfter(const std::string& line, std::ptrdiff_t count) {
        const auto lines = updateLog();
        const auto at = std::find(lines.begin(), lines.end(), line);
        if (lines.end() - at <= count) return {};
        return std::vector<std::string>(at + 1, at + 1 + count);
    }
    static std::string exceptionsLine() {
        return "Exceptions: " + std::to_string(excludedCount.load());
    }
};

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
    EXPECT_EQ(logged("ZIP "), (std::vector<std::string>{"ZIP file not found, starting download...",
                                                        "ZIP hash matches, download successful."}));
    EXPECT_EQ(linesAfter("ZIP hash matches, download successful.", 6),
              (std::vector<std::string>{"Patched: Astrovance/EXE/Astrovance.exe",
                                        "Patched: Astrovance/data/a.dat",
                                        "Patched: Astrovance/readme.txt", "Total number of data: 3",
                                        "Number of processed data: 3", exceptionsLine()}));
    EXPECT_EQ(logged("The processing took: ").size(), 2u);  // the scan's and ours
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
    EXPECT_EQ(logged("ZIP ").back(), "ZIP hash matches, download successful.");
    EXPECT_EQ(fs::last_write_time(gameFile("data/a.dat")), stamp);
    EXPECT_TRUE(logHas("Number of processed data: 0"));
}

TEST_F(ZipUpdateTest, DifferingLocalArchiveIsReplaced) {
    publish(threeFiles, manifestOf(threeFiles));
    writeFile(root / "ORV.zip", "a broken archive");
    update();

    EXPECT_EQ(archiveDownloads(), 1);
    EXPECT_EQ(logged("ZIP "),
              (std::vector<std::string>{"ZIP hash does not match, attempting to resume download...",
                                        "ZIP hash matches, download successful."}));
    EXPECT_EQ(readFile(gameFile("readme.txt")), "read me");
}

TEST_F(ZipUpdateTest, MissingChecksumFileCostsThreeDownloadsAndTheArchiveIsStillUsed) {
    publish(threeFiles, manifestOf(threeFiles));
    fs::remove(serverFolder / "full" / "full.ini");
    update();

    EXPECT_EQ(archiveDownloads(), 3);
    EXPECT_EQ(
        logged("ZIP "),
        (std::vector<std::string>{"ZIP file not found, starting download...",
                                  "ZIP hash does not match, attempting to resume download...",
                                  "ZIP hash does not match, attempting to resume download..."}));
    EXPECT_TRUE(logHas("Failed to download ZIP correctly after 3 attempts."));
    EXPECT_EQ(readFile(gameFile("data/a.dat")), "alpha");
}

TEST_F(ZipUpdateTest, LogFollowsManifestOrderAndReportsAbsentEntriesInTheirPlace) {
    const std::vector<ZipEntry> reversed = {
        {"Astrovance/z.txt", "zulu", ""},
        {"Astrovance/m.txt", "mike", ""},
        {"Astrovance/a.txt", "alpha", ""},
    };
    publish(reversed, manifestOf(reversed) + "k.txt = 5\n");
    keepArchiveLocally();
    update();

    EXPECT_EQ(archiveDownloads(), 0);
    EXPECT_EQ(updateLog(),
              (std::vector<std::string>{
                  "Starting ZIP Extraction", "ZIP hash matches, download successful.",
                  "Patched: Astrovance/a.txt", "Patched: Astrovance/k.txt",
                  "File in Versionfile not found!", "Patched: Astrovance/m.txt",
                  "Patched: Astrovance/z.txt", "Total number of data: 4",
                  "Number of processed data: 4", exceptionsLine()}));
    EXPECT_EQ(readFile(gameFile("z.txt")), "zulu");
    EXPECT_EQ(readFile(gameFile("a.txt")), "alpha");
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
    const int excludedBefore = excludedCount;

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
    EXPECT_EQ(excludedCount - excludedBefore, 1);
    EXPECT_FALSE(fs::exists(gameFile(".svn")));
    EXPECT_TRUE(logged("Patched: Astrovance/.svn").empty());
    EXPECT_TRUE(logHas("Total number of data: 4"));
    EXPECT_TRUE(logHas("Number of processed data: 1"));
}

TEST_F(ZipUpdateTest, ArchiveThatCannotBeOpenedIsReportedPerEntry) {
    publishBytes("not a zip file at all", "a.txt = 1\nb.txt = 2\n");
    update();

    EXPECT_EQ(linesAfter("ZIP hash matches, download successful.", 5),
              (std::vector<std::string>{"Patched: Astrovance/a.txt", "Error when opening the archive",
                                        "Patched: Astrovance/b.txt", "Error when opening the archive",
                                        "Total number of data: 2"}));
    EXPECT_TRUE(logHas("Number of processed data: 2"));
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
    publishBytes(bytes, "a.txt = " + checksumText(text) + "\nb.txt = " + checksumText("bravo") + "\n");
    update();

    EXPECT_EQ(linesAfter("Patched: Astrovance/a.txt", 2),
              (std::vector<std::string>{"Error when extracting the file",
                                        "Patched: Astrovance/b.txt"}));
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

    EXPECT_EQ(logged("Error checking file a/" + tooLong).size(), 1u);
    EXPECT_EQ(readFile(gameFile("readme.txt")), "read me");
    EXPECT_TRUE(logHas("Number of processed data: 3"));
}

TEST_F(ZipUpdateTest, UnsafeManifestKeysAreSkippedAndNothingLandsOutside) {
    const std::vector<ZipEntry> hostile = {
        {"Astrovance/../x", "escaped", ""},
        {"Astrovance/../../x", "escaped", ""},
        {"Astrovance/a/../../../x", "escaped", ""},
        {"Astrovance/safe.txt", "safe", ""},
    };
    const std::vector<std::string> unsafe = {"../x", "..\\..\\x", "/abs", "C:\\x", "a/../../x"};
    std::string manifest = "safe.txt = " + checksumText("safe") + "\n";
    for (const auto& key : unsafe) manifest += key + " = 1\n";
    publish(hostile, manifest);
    keepArchiveLocally();
    update();

    for (const auto& key : unsafe)
        EXPECT_TRUE(logHas("Unsafe path in manifest skipped: " + key)) << key;
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
    // Fresh files beside the refused targets that look like unfinished copies of them: a failed
    // extraction cleans up only inside the installation.
    const fs::path bystanders[] = {dir.path() / "outer" / "evil.keep01",
                                   dir.path() / "absolute-evil.keep01"};
    for (const auto& file : bystanders) writeFile(file, "someone else's");

    extractEntry("ORV.zip", "Astrovance/../../evil");
    extractEntry("ORV.zip", absolute);
    extractEntry("ORV.zip", "Astrovance/fine.txt");

    // Two extraction errors, not "not found": both entries are in the archive as written.
    EXPECT_EQ(logMessages(), (std::vector<std::string>{"Error when extracting the file",
                                                       "Error when extracting the file"}));
    EXPECT_FALSE(fs::exists(dir.path() / "outer" / "evil"));
    EXPECT_FALSE(fs::exists(dir.path() / "evil"));
    EXPECT_FALSE(fs::exists(dir.path() / "absolute-evil"));
    for (const auto& file : bystanders) EXPECT_TRUE(fs::exists(file)) << file;
    EXPECT_EQ(readFile(gameFile("fine.txt")), "fine");
}

TEST_F(ZipUpdateTest, ArchiveLinkCannotCarryALaterEntryOutside) {
    SKIP_WITHOUT_SYMBOLIC_LINKS();
    const fs::path outside = made(dir.path() / "outside");
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
    EXPECT_EQ(linesAfter("Patched: Astrovance/link/evil", 1),
              std::vector<std::string>{"Error when extracting the file"});

    // Once the link is on disk, a later update refuses the key that leads through it.
    update();
    EXPECT_TRUE(logHas("Unsafe path in manifest skipped: link/evil"));
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
