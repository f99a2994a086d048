#include <archive.h>
#include <archive_entry.h>
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <thread>

#include "patch/extract_entries.h"
#include "patch/updates.h"
#include "tests/patch/patch_fixture.h"
#include "tests/support/links.h"

namespace {

struct ZipEntry {
    std::string name;
    std::string content;
    std::string linkTarget = {};  // not empty: a symbolic link to this target
};

// Writes a ZIP archive of the entries in the given order, compressed unless `stored`.
void writeZip(const fs::path& path, const std::vector<ZipEntry>& entries, bool stored = false) {
    const std::unique_ptr<archive, decltype(&archive_write_free)> zip(archive_write_new(),
                                                                      &archive_write_free);
    archive_write_set_format_zip(zip.get());
    if (stored) archive_write_set_format_option(zip.get(), "zip", "compression", "store");
    fs::create_directories(path.parent_path());
    ASSERT_EQ(archive_write_open_filename(zip.get(), path.string().c_str()), ARCHIVE_OK) << path;
    for (const ZipEntry& item : entries) {
        const std::unique_ptr<archive_entry, decltype(&archive_entry_free)> entry(
            archive_entry_new(), &archive_entry_free);
        const bool link = !item.linkTarget.empty();
        archive_entry_set_pathname(entry.get(), item.name.c_str());
        archive_entry_set_filetype(entry.get(), link ? AE_IFLNK : AE_IFREG);
        archive_entry_set_perm(entry.get(), link ? 0777 : 0644);
        archive_entry_set_size(entry.get(), static_cast<la_int64_t>(item.content.size()));
        if (link) archive_entry_set_symlink(entry.get(), item.linkTarget.c_str());
        ASSERT_EQ(archive_write_header(zip.get(), entry.get()), ARCHIVE_OK)
            << archive_error_string(zip.get());
        if (!item.content.empty())
            archive_write_data(zip.get(), item.content.data(), item.content.size());
    }
    ASSERT_EQ(archive_write_close(zip.get()), ARCHIVE_OK);
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
    {"Astrovance/", ""},
    {"Astrovance/EXE/Astrovance.exe", "an executable"},
    {"Astrovance/data/a.dat", "alpha"},
    {"Astrovance/readme.txt", "read me"},
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

    // The `count` lines of the log that follow the first `line`.
    static std::vector<std::string> linesAfter(const std::string& line, std::ptrdiff_t count) {
        const auto lines = logMessages();
        const auto at = std::find(lines.begin(), lines.end(), line);
        if (lines.end() - at <= count) return {};
        return std::vector<std::string>(at + 1, at + 1 + count);
    }
};

TEST_F(ZipUpdateTest, FirstInstallationExtractsEveryEntryAndLogsThemInManifestOrder) {
    // Stored in reverse; the manifest writes one key with "\" and has one the archive lacks.
    const std::vector<ZipEntry> reversed = {{"Astrovance/readme.txt", "read me"},
                                            {"Astrovance/data/a.dat", "alpha"},
                                            {"Astrovance/EXE/Astrovance.exe", "an executable"}};
    publish(reversed, "EXE\\Astrovance.exe = " + checksumText("an executable") +
                          "\ndata/a.dat = " + checksumText("alpha") +
                          "\nk.txt = 5\nreadme.txt = " + checksumText("read me") + "\n");
    scan();
    update();

    EXPECT_EQ(archiveDownloads(), 1);
    EXPECT_EQ(readFile(root / "ORV.zip"), readFile(serverFolder / "full" / "ORV.zip"));
    EXPECT_EQ(readFile(gameFile("EXE/Astrovance.exe")), "an executable");
    EXPECT_EQ(readFile(gameFile("data/a.dat")), "alpha");
    EXPECT_EQ(readFile(gameFile("readme.txt")), "read me");
    EXPECT_EQ(logged("ZIP "), (std::vector<std::string>{"ZIP file not found, starting download...",
                                                        "ZIP hash matches, download successful."}));
    EXPECT_EQ(linesAfter("ZIP hash matches, download successful.", 8),
              (std::vector<std::string>{
                  "Patched: Astrovance/EXE/Astrovance.exe", "Patched: Astrovance/data/a.dat",
                  "Patched: Astrovance/k.txt", "File in Versionfile not found!",
                  "Patched: Astrovance/readme.txt", "Total number of data: 4",
                  "Number of processed data: 4",
                  "Exceptions: " + std::to_string(excludedCount.load())}));
    EXPECT_EQ(logged("The processing took: ").size(), 2u);  // the scan's and ours
    EXPECT_EQ(PatchProgress.overallProgress, 100);
    EXPECT_EQ(PatchProgress.fileProgress, 100);
    EXPECT_EQ(PatchProgress.phase, Patching);
    // The last entry found in the archive, shown without the game folder in front.
    EXPECT_EQ(PatchProgress.fileName.get(), u"EXE/Astrovance.exe");
}

TEST_F(ZipUpdateTest, ArchiveIsDownloadedAtMostThreeTimesUntilItMatchesAndUsedAnyway) {
    publish(threeFiles, manifestOf(threeFiles));
    writeFile(root / "ORV.zip", "a broken archive");
    update();
    EXPECT_EQ(archiveDownloads(), 1);
    EXPECT_EQ(readFile(gameFile("readme.txt")), "read me");

    // Without the checksum file no archive matches; the last download is used.
    fs::remove(serverFolder / "full" / "full.ini");
    fs::remove(root / "ORV.zip");
    fs::remove(gameFile("data/a.dat"));
    update();
    EXPECT_EQ(archiveDownloads(), 4);
    EXPECT_EQ(logged("ZIP "),
              (std::vector<std::string>{
                  "ZIP hash does not match, attempting to resume download...",
                  "ZIP hash matches, download successful.",
                  "ZIP file not found, starting download...",
                  "ZIP hash does not match, attempting to resume download...",
                  "ZIP hash does not match, attempting to resume download..."}));
    EXPECT_TRUE(logHas("Failed to download ZIP correctly after 3 attempts."));
    EXPECT_EQ(readFile(gameFile("data/a.dat")), "alpha");
}

TEST_F(ZipUpdateTest, ProgressCountsExaminedEntriesButNotExcludedOnes) {
    const std::vector<ZipEntry> entries = {{"Astrovance/.svn/entries", "svn"},
                                           {"Astrovance/a.txt", "alpha"},
                                           {"Astrovance/b.txt", "bravo"},
                                           {"Astrovance/c.txt", "charlie"}};
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

// An entry that cannot be read whole, or whose bytes are not the update's, leaves the installed
// file as it was and the update incomplete; the other entries are still done.
TEST_F(ZipUpdateTest, DamagedEntryLeavesTheInstalledFileAndFailsAloneAndTheUpdate) {
    std::string text;
    for (int i = 0; text.size() < 200000; ++i)
        text += "line " + std::to_string(i * 7919 % 1000) + "\n";
    const std::string manifest =
        "a.txt = " + checksumText(text) + "\nb.txt = " + checksumText("bravo") + "\n";
    struct Damage {
        const char* name;
        bool stored;  // entries kept uncompressed, so only the CRC can tell
        std::function<void(std::string&)> damage;
        std::string reason;
        bool bPresent = true;  // the archive still holds the second entry
    };
    const auto flipMiddle = [](std::string& bytes) {
        for (std::size_t at = 200; at < 1200; ++at) bytes[at] = static_cast<char>(bytes[at] ^ 0x5A);
    };
    const Damage damages[] = {
        {"garbled", false, flipMiddle, "Extraction failed: Astrovance/a.txt is damaged in the archive ("},
        {"wrongCrc", true, flipMiddle, "Extraction failed: Astrovance/a.txt is damaged in the archive ("},
        {"cutShort", false, [](std::string& bytes) { bytes.resize(bytes.size() / 3); },
         "Extraction failed: Astrovance/a.txt is damaged in the archive (", false},
        {"notTheUpdatesBytes", false, [](std::string&) {},
         "Extraction refused: Astrovance/a.txt has checksum "},
    };
    for (const Damage& row : damages) {
        SCOPED_TRACE(row.name);
        useUserFolder(dir);
        fs::remove_all(root / "Astrovance");
        install("a.txt", "the installed a");
        scan();
        const std::string archived = std::string(row.name) == "notTheUpdatesBytes" ? text + "!" : text;
        writeZip(root / "ORV.zip", {{"Astrovance/a.txt", archived}, {"Astrovance/b.txt", "bravo"}},
                 row.stored);
        std::string bytes = readFile(root / "ORV.zip");
        row.damage(bytes);
        writeFile(root / "ORV.zip", bytes);
        publishBytes(bytes, manifest);

        EXPECT_FALSE(updateFilesFromZip(server.url("/u/full/ORV.zip"), installationRoot));

        const auto lines = linesAfter("Patched: Astrovance/a.txt", 3);
        ASSERT_EQ(lines.size(), 3u);
        EXPECT_EQ(lines[0], "Error when extracting the file");
        EXPECT_EQ(lines[1].substr(0, row.reason.size()), row.reason);
        EXPECT_EQ(lines[2], "Patched: Astrovance/b.txt");
        EXPECT_EQ(readFile(gameFile("a.txt")), "the installed a");
        EXPECT_EQ(fs::exists(gameFile("b.txt")), row.bPresent);
        const std::vector<std::string> expected =
            row.bPresent ? std::vector<std::string>{"a.txt", "b.txt"} : std::vector<std::string>{"a.txt"};
        EXPECT_EQ(filesBelow(gameFile("")), expected) << "no staging file left";
        EXPECT_TRUE(logHas(row.bPresent ? "Update incomplete: 1 file(s) could not be extracted"
                                        : "Update incomplete: 2 file(s) could not be extracted"));
    }
    EXPECT_EQ(archiveDownloads(), 0) << "each archive matched its full.ini";

    fs::remove(root / "ORV.zip");
    publishBytes("not a zip file at all", "c.txt = 1\nd.txt = 2\ne.txt = 3\n");
    update();
    EXPECT_EQ(linesAfter("Patched: Astrovance/c.txt", 6),
              (std::vector<std::string>{
                  "Error when opening the archive", "Patched: Astrovance/d.txt",
                  "Error when opening the archive", "Patched: Astrovance/e.txt",
                  "Error when opening the archive", "Total number of data: 3"}));
    EXPECT_TRUE(logHas("Number of processed data: 3"));
    EXPECT_EQ(PatchProgress.phase, Patching);
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
    const std::vector<std::string> unsafe = {"../x", "..\\..\\x", "/abs", "C:\\x", "a/../../x"};
    std::string manifest = "safe.txt = " + checksumText("safe") + "\n";
    for (const auto& key : unsafe) manifest += key + " = 1\n";
    // The archive holds what the climbing keys name.
    publish({{"Astrovance/../x", "escaped"},
             {"Astrovance/../../x", "escaped"},
             {"Astrovance/a/../../x", "escaped"},
             {"Astrovance/safe.txt", "safe"}},
            manifest);
    keepArchiveLocally();
    update();

    for (const auto& key : unsafe)
        EXPECT_TRUE(logHas("Unsafe path in manifest skipped: " + key)) << key;
    EXPECT_EQ(filesBelow(dir.path() / "outer"),
              (std::vector<std::string>{"install/Astrovance/safe.txt", "install/ORV.zip"}));
    EXPECT_FALSE(fs::exists(dir.path() / "x"));
}

TEST_F(ZipUpdateTest, SingleEntryExtractionRefusesClimbingAndAbsoluteEntries) {
    // Written with "/" as ZIP archives carry names; on Windows this is a drive path ("C:/...").
    std::string absolute = pathText(dir.path() / "absolute-evil");
    std::replace(absolute.begin(), absolute.end(), '\\', '/');
    auto entries = threeFiles;
    entries.push_back({"Astrovance/../../evil", "escaped"});
    entries.push_back({absolute, "escaped"});
    writeZip(root / "ORV.zip", entries);
    // Fresh files beside the refused targets that look like unfinished copies of them: a failed
    // extraction cleans up only inside the installation.
    const fs::path bystanders[] = {dir.path() / "outer" / "evil.keep01",
                                   dir.path() / "absolute-evil.keep01"};
    for (const auto& file : bystanders) writeFile(file, "someone else's");

    extractEntry("ORV.zip", "Astrovance/../../evil");
    extractEntry("ORV.zip", absolute);
    extractEntry("ORV.zip", "Astrovance/data/a.dat");
    extractEntry("ORV.zip", "Astrovance/data/none.dat");
    extractEntry("missing.zip", "Astrovance/data/a.dat");

    // Extraction errors for the refused entries, not "not found": both are in the archive.
    EXPECT_EQ(logMessages(),
              (std::vector<std::string>{
                  "Error when extracting the file",
                  "Extraction refused: Astrovance/../../evil lies outside the installation",
                  "Error when extracting the file",
                  "Extraction refused: " + absolute + " lies outside the installation",
                  "File in Versionfile not found!", "Error when opening the archive"}));
    EXPECT_FALSE(fs::exists(dir.path() / "outer" / "evil"));
    EXPECT_FALSE(fs::exists(dir.path() / "evil"));
    EXPECT_FALSE(fs::exists(dir.path() / "absolute-evil"));
    for (const auto& file : bystanders) EXPECT_TRUE(fs::exists(file)) << file;
    EXPECT_EQ(readFile(gameFile("data/a.dat")), "alpha");
    EXPECT_FALSE(fs::exists(gameFile("readme.txt"))) << "only the entry asked for";
    EXPECT_EQ(PatchProgress.phase, Patching);
}

// Only plain files come out of the archive; a link already on disk carries nothing outside.
TEST_F(ZipUpdateTest, LinkCannotCarryALaterEntryOrKeyOutside) {
    SKIP_WITHOUT_SYMBOLIC_LINKS();
    const fs::path outside = made(dir.path() / "outside");
    const std::vector<ZipEntry> hostile = {
        {"Astrovance/link", "", outside.string()},
        {"Astrovance/link/evil", "escaped"},
        {"Astrovance/fine.txt", "fine"},
    };
    publish(hostile, "link = 1\nlink/evil = " + checksumText("escaped") +
                         "\nfine.txt = " + checksumText("fine") + "\n");
    keepArchiveLocally();
    update();

    EXPECT_TRUE(fs::is_empty(outside));
    EXPECT_FALSE(fs::is_symlink(gameFile("link")));
    EXPECT_EQ(readFile(gameFile("fine.txt")), "fine");
    EXPECT_EQ(linesAfter("Patched: Astrovance/link", 2),
              (std::vector<std::string>{"Error when extracting the file",
                                        "Extraction refused: Astrovance/link is not a plain file"}));

    // A link put there some other way: later updates of either kind refuse the key through it.
    fs::remove_all(gameFile("link"));
    fs::create_directory_symlink(outside, gameFile("link"));
    update();
    serve("web/files.ini", "link/evil = 1\n");
    server.script("/u/web/link/evil", {answer(200, "escaped")});
    updateFilesFromWeb(server.url("/u/web/files.ini"), installationRoot);
    EXPECT_EQ(logged("Unsafe path in manifest skipped: link/evil").size(), 2u);
    EXPECT_EQ(server.requests("/u/web/link/evil"), 0);
    EXPECT_TRUE(fs::is_empty(outside));
}

}  // namespace
