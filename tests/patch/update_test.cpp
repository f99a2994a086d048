// Both kinds of update as rows: the installation an update meets, what the server offers, and
// what the update leaves behind, logs and asks for.
#include <archive.h>
#include <archive_entry.h>
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <set>
#include <thread>

#include "patch/extract_entries.h"
#include "patch/update_from_web.h"
#include "patch/updates.h"
#include "tests/patch/patch_fixture.h"
#include "tests/support/links.h"

namespace {

using Files = std::vector<std::pair<std::string, std::string>>;

struct ZipEntry {
    std::string name;
    std::string content;
    std::string linkTarget = {};  // not empty: a symbolic link to this target
};

// The bytes of a ZIP archive of the entries in the given order, compressed unless `stored`.
std::string zipBytes(const std::vector<ZipEntry>& entries, bool stored = false) {
    const std::unique_ptr<archive, decltype(&archive_write_free)> zip(archive_write_new(), &archive_write_free);
    archive_write_set_format_zip(zip.get());
    if (stored) archive_write_set_format_option(zip.get(), "zip", "compression", "store");
    std::string bytes(1 << 20, '\0');
    std::size_t used = 0;
    EXPECT_EQ(archive_write_open_memory(zip.get(), bytes.data(), bytes.size(), &used), ARCHIVE_OK);
    for (const ZipEntry& item : entries) {
        const std::unique_ptr<archive_entry, decltype(&archive_entry_free)> entry(archive_entry_new(),
                                                                                  &archive_entry_free);
        const bool link = !item.linkTarget.empty();
        archive_entry_set_pathname(entry.get(), item.name.c_str());
        archive_entry_set_filetype(entry.get(), link ? AE_IFLNK : AE_IFREG);
        archive_entry_set_perm(entry.get(), link ? 0777 : 0644);
        archive_entry_set_size(entry.get(), static_cast<la_int64_t>(item.content.size()));
        if (link) archive_entry_set_symlink(entry.get(), item.linkTarget.c_str());
        EXPECT_EQ(archive_write_header(zip.get(), entry.get()), ARCHIVE_OK) << archive_error_string(zip.get());
        if (!item.content.empty()) archive_write_data(zip.get(), item.content.data(), item.content.size());
    }
    EXPECT_EQ(archive_write_close(zip.get()), ARCHIVE_OK);
    bytes.resize(used);
    return bytes;
}

// Text that compresses, large enough that damage in its middle leaves the archive readable.
const std::string longText = [] {
    std::string text;
    for (int i = 0; text.size() < 200000; ++i) text += "line " + std::to_string(i * 7919 % 1000) + "\n";
    return text;
}();
void flipMiddle(std::string& bytes) {
    for (std::size_t at = 200; at < 1200; ++at) bytes[at] = static_cast<char>(bytes[at] ^ 0x5A);
}

// One update: the installation it meets (below the game folder; "../ORV.zip" lies beside it, and
// "link:<target>" makes a folder link), what the server offers and what the update leaves.
struct UpdateRow {
    const char* name;
    bool full;              // the archive update, else the per-file one
    Files installed = {};   // scanned before the update
    Files unscanned = {};   // put there after the scan
    Files offered = {};     // manifest keys with their files, served or archived
    std::string moreManifest = {};                    // further manifest lines as they are
    std::vector<ZipEntry> archive = {};               // when not the offered files
    std::function<void(std::string&)> damage = {};    // done to the archive's bytes
    bool stored = false;                              // archive entries not compressed
    bool kept = true;                                 // the archive lies beside the installation
    std::map<std::string, std::vector<HttpAnswer>> answers = {};  // scripted, from the top
    bool complete = true;
    Files after = {};                                 // the game folder afterwards, all of it
    std::vector<std::string> log = {};                // line beginnings in this order
    std::vector<std::string> anywhere = {};           // line beginnings in any order
    std::map<std::string, int> requests = {};         // below the update's folder
    int excluded = 0;                                 // keys skipped as excluded
    const char16_t* shown = nullptr;                  // the file name the page shows at the end
};
void PrintTo(const UpdateRow& row, std::ostream* out) { *out << row.name; }

const std::string umlaut = "\xC3\x9C" "berblick.txt";
#ifdef _WIN32
const std::string odd = "100% #1;.txt";  // Windows allows no "?" in a name
#else
const std::string odd = "100% #1?.txt";
#endif
const std::string unsafeKeys = "../x = 1\n..\\y = 1\n/abs = 1\nC:\\x = 1\na/../../x = 1\n\\rooted = 1\n"
                               ".. \\z = 1\n...\\z = 1\n";
const std::vector<std::string> unsafeSkipped = [] {
    std::vector<std::string> lines;
    for (const char* key : {"../x", "..\\y", "/abs", "C:\\x", "a/../../x", "\\rooted", ".. \\z", "...\\z"})
        lines.push_back(std::string("Unsafe path in manifest skipped: ") + key);
    return lines;
}();
const HttpAnswer escaped = answer(200, "escaped");
const Files threeFiles = {{"EXE/Astrovance.exe", "an executable"}, {"data/a.dat", "alpha"}, {"readme.txt", "read me"}};
const char* damagedIn = "Extraction failed: Astrovance/a.txt is damaged in the archive (";

const UpdateRow rows[] = {
    // Only missing and differing files are fetched, each once with "/" and encoded (blanks, "%",
    // "#", "?", non-ASCII), and stored below the game folder, not as names holding "\". A file on
    // disk without a scan record is taken as current; excluded keys are never fetched.
    {.name = "webFetchesMissingAndDifferingFilesWhateverTheirNames", .full = false,
     .installed = {{"same.txt", "unchanged"}, {"old.txt", "old content"}, {"Release/build.log", "a build product"}},
     .unscanned = {{"unscanned.txt", "stale"}},
     .offered = {{"same.txt", "unchanged"}, {"old.txt", "new content"}, {"unscanned.txt", "fresh"},
                 {"sub/new.txt", "a new file"}, {"data\\deep\\file.bin", "for Windows"},
                 {"Sound\\Voice Over\\briefing 1.ogg", "voice"}, {odd, "odd"}, {umlaut, "umlaut"}},
     .moreManifest = "Launcher.exe = 1234\nRelease/build.log = 5678\n",
     .answers = {{"/u/web/Launcher.exe", {escaped}}, {"/u/web/Release/build.log", {escaped}}},
     .after = {{odd, "odd"}, {"Release/build.log", "a build product"}, {"Sound/Voice Over/briefing 1.ogg", "voice"},
               {"data/deep/file.bin", "for Windows"}, {"old.txt", "new content"}, {"same.txt", "unchanged"},
               {"sub/new.txt", "a new file"}, {"unscanned.txt", "stale"}, {umlaut, "umlaut"}},
     .log = {"Download complete and file saved.", "Download complete and file saved.",
             "Download complete and file saved.", "Download complete and file saved.",
             "Download complete and file saved.", "Download complete and file saved.",
             "Total number of data to be processed: 10"},
     .requests = {{"same.txt", 0}, {"unscanned.txt", 0}, {"Launcher.exe", 0}, {"Release/build.log", 0},
                  {"old.txt", 1}, {"sub/new.txt", 1}, {"data/deep/file.bin", 1}, {odd, 1}, {umlaut, 1},
                  {"Sound/Voice Over/briefing 1.ogg", 1}},
     .excluded = 2},
    // Answers wait wherever the unsafe keys would lead, so that a fault shows as a file written.
    {.name = "webSkipsUnsafeKeys", .full = false, .offered = {{"safe.txt", "safe"}}, .moreManifest = unsafeKeys,
     .answers = {{"/u/x", {escaped}}, {"/u/y", {escaped}}, {"/u/web//abs", {escaped}}, {"/u/web/C:/x", {escaped}},
                 {"/u/web//rooted", {escaped}}, {"/abs", {escaped}}, {"/rooted", {escaped}},
                 {"/u/web/.. /z", {escaped}}, {"/u/web/.../z", {escaped}}},
     .after = {{"safe.txt", "safe"}}, .anywhere = unsafeSkipped, .requests = {{"safe.txt", 1}}},
    // A file where the update needs a folder fails alone; a retry comes on a fresh connection.
    {.name = "webFailureIsLoggedAndTheRestDone", .full = false, .installed = {{"blocker", "not a folder"}},
     .offered = {{"ok.txt", "fine"}, {"flaky.txt", "at last"}}, .moreManifest = "blocker/sub/x.txt = 1\n",
     .answers = {{"/u/web/flaky.txt", {answer(500), answer(200, "at last")}}}, .complete = false,
     .after = {{"blocker", "not a folder"}, {"flaky.txt", "at last"}, {"ok.txt", "fine"}},
     .log = {"Total number of data to be processed: 3", "Update incomplete: 1 file(s) could not be brought up to date"},
     .anywhere = {"Error updating file blocker/sub/x.txt: "}, .requests = {{"flaky.txt", 2}}},
    {.name = "webWithoutManifestDoesNothing", .full = false, .answers = {{"/u/web/files.ini", {answer(404)}}},
     .complete = false, .log = {"Total number of data to be processed: 0"}, .requests = {{"files.ini", 3}}},
    // Stored in reverse; the manifest writes one key with "\" and has one the archive lacks.
    {.name = "zipFirstInstallationInManifestOrder", .full = true,
     .offered = {{"EXE\\Astrovance.exe", "an executable"}, {"data/a.dat", "alpha"}, {"readme.txt", "read me"}},
     .moreManifest = "k.txt = 5\n",
     .archive = {{"Astrovance/readme.txt", "read me"}, {"Astrovance/data/a.dat", "alpha"},
                 {"Astrovance/EXE/Astrovance.exe", "an executable"}},
     .kept = false, .complete = false, .after = threeFiles,
     .log = {"ZIP file not found, starting download...", "ZIP hash matches, download successful.",
             "Patched: Astrovance/EXE/Astrovance.exe", "Patched: Astrovance/data/a.dat", "Patched: Astrovance/k.txt",
             "File in Versionfile not found!", "Patched: Astrovance/readme.txt", "Total number of data: 4",
             "Number of processed data: 4"},
     .requests = {{"ORV.zip", 1}}, .shown = u"EXE/Astrovance.exe"},
    {.name = "zipBrokenKeptArchiveIsDownloadedAgain", .full = true, .installed = {{"../ORV.zip", "broken"}},
     .offered = threeFiles, .kept = false, .after = threeFiles,
     .log = {"ZIP hash does not match, attempting to resume download...", "ZIP hash matches, download successful."},
     .requests = {{"ORV.zip", 1}}},
    // Without the checksum file no archive matches: three downloads, and the last is used.
    {.name = "zipDownloadedThreeTimesAtMost", .full = true, .offered = threeFiles, .kept = false,
     .answers = {{"/u/full/full.ini", {answer(404)}}}, .after = threeFiles,
     .log = {"ZIP file not found, starting download...", "ZIP hash does not match, attempting to resume download...",
             "ZIP hash does not match, attempting to resume download...",
             "Failed to download ZIP correctly after 3 attempts."},
     .requests = {{"ORV.zip", 3}}},
    // An entry that cannot be read whole, or whose bytes are not the update's, leaves the installed
    // file as it was, no staging file, and the update incomplete; the other entries are still done.
    {.name = "zipGarbledEntry", .full = true, .installed = {{"a.txt", "installed"}},
     .offered = {{"a.txt", longText}, {"b.txt", "bravo"}}, .damage = flipMiddle, .complete = false,
     .after = {{"a.txt", "installed"}, {"b.txt", "bravo"}},
     .log = {"Patched: Astrovance/a.txt", "Error when extracting the file", damagedIn, "Patched: Astrovance/b.txt",
             "Update incomplete: 1 file(s) could not be extracted"}},
    {.name = "zipStoredEntryWithWrongCrc", .full = true, .installed = {{"a.txt", "installed"}},
     .offered = {{"a.txt", longText}, {"b.txt", "bravo"}}, .damage = flipMiddle, .stored = true, .complete = false,
     .after = {{"a.txt", "installed"}, {"b.txt", "bravo"}},
     .log = {"Patched: Astrovance/a.txt", "Error when extracting the file", damagedIn, "Patched: Astrovance/b.txt",
             "Update incomplete: 1 file(s) could not be extracted"}},
    {.name = "zipCutShort", .full = true, .installed = {{"a.txt", "installed"}},
     .offered = {{"a.txt", longText}, {"b.txt", "bravo"}},
     .damage = [](std::string& bytes) { bytes.resize(bytes.size() / 3); }, .complete = false,
     .after = {{"a.txt", "installed"}},
     .log = {"Patched: Astrovance/a.txt", "Error when extracting the file", damagedIn, "Patched: Astrovance/b.txt",
             "Update incomplete: 2 file(s) could not be extracted"}},
    {.name = "zipEntryNotTheUpdatesBytes", .full = true, .installed = {{"a.txt", "installed"}},
     .offered = {{"a.txt", longText}, {"b.txt", "bravo"}},
     .archive = {{"Astrovance/a.txt", longText + "!"}, {"Astrovance/b.txt", "bravo"}}, .complete = false,
     .after = {{"a.txt", "installed"}, {"b.txt", "bravo"}},
     .log = {"Patched: Astrovance/a.txt", "Error when extracting the file",
             "Extraction refused: Astrovance/a.txt has checksum ", "Patched: Astrovance/b.txt",
             "Update incomplete: 1 file(s) could not be extracted"}},
    {.name = "zipNotAnArchive", .full = true, .moreManifest = "c.txt = 1\nd.txt = 2\ne.txt = 3\n",
     .damage = [](std::string& bytes) { bytes = "not a zip file at all"; }, .kept = false, .complete = false,
     .log = {"Patched: Astrovance/c.txt", "Error when opening the archive", "Patched: Astrovance/d.txt",
             "Error when opening the archive", "Patched: Astrovance/e.txt", "Error when opening the archive",
             "Total number of data: 3", "Number of processed data: 3"}},
#ifndef _WIN32  // Windows reports every name it refuses as absent: no entry's check can fail
    // A name longer than any file system allows makes the file-system calls throw.
    {.name = "zipEntryWhoseCheckFailsIsLogged", .full = true, .installed = {{"a/x", "x"}}, .offered = threeFiles,
     .moreManifest = "a/" + std::string(300, 'n') + " = 1\n", .complete = false,
     .after = {{"EXE/Astrovance.exe", "an executable"}, {"a/x", "x"}, {"data/a.dat", "alpha"}, {"readme.txt", "read me"}},
     .log = {"Number of processed data: 3"}, .anywhere = {"Error checking file a/nnnnnnnn"}},
#endif
    // The archive holds what the climbing keys name.
    {.name = "zipSkipsUnsafeKeys", .full = true, .offered = {{"safe.txt", "safe"}}, .moreManifest = unsafeKeys,
     .archive = {{"Astrovance/../x", "escaped"}, {"Astrovance/../../x", "escaped"},
                 {"Astrovance/a/../../x", "escaped"}, {"Astrovance/safe.txt", "safe"}},
     .after = {{"safe.txt", "safe"}}, .anywhere = unsafeSkipped},
    // Only plain files come out of the archive; a link already on disk carries nothing outside.
    {.name = "zipLinkEntryCarriesNothingOutside", .full = true,
     .offered = {{"fine.txt", "fine"}, {"link/evil", "escaped"}}, .moreManifest = "link = 1\n",
     .archive = {{"Astrovance/link", "", "../../../outside"}, {"Astrovance/link/evil", "escaped"},
                 {"Astrovance/fine.txt", "fine"}},
     .complete = false, .after = {{"fine.txt", "fine"}, {"link/evil", "escaped"}},
     .log = {"Patched: Astrovance/link", "Error when extracting the file",
             "Extraction refused: Astrovance/link is not a plain file"}},
    {.name = "zipKeyThroughALinkOnDisk", .full = true, .installed = {{"link", "link:../../../outside"}},
     .offered = {{"fine.txt", "fine"}, {"link/evil", "escaped"}}, .after = {{"fine.txt", "fine"}, {"link", ""}},
     .anywhere = {"Unsafe path in manifest skipped: link/evil"}},
    {.name = "webKeyThroughALinkOnDisk", .full = false, .installed = {{"link", "link:../../../outside"}},
     .offered = {{"fine.txt", "fine"}, {"link/evil", "escaped"}}, .after = {{"fine.txt", "fine"}, {"link", ""}},
     .anywhere = {"Unsafe path in manifest skipped: link/evil"}, .requests = {{"link/evil", 0}}},
};

class UpdateTable : public PatchTest, public testing::WithParamInterface<UpdateRow> {};

TEST_P(UpdateTable, LeavesWhatTheRowSays) {
    const UpdateRow& row = GetParam();
    const fs::path outside = dir.path() / "outside";
    fs::create_directories(outside);
    fs::create_directories(gameFile(""));
    for (const auto& [path, content] : row.installed) {
        if (!content.starts_with("link:")) install(path, content);
        else if (!makeFolderLink(content.substr(5), gameFile(path))) GTEST_SKIP() << "no symbolic links here";
    }
    scan();
    for (const auto& [path, content] : row.unscanned) install(path, content);
    const std::string folder = row.full ? "full/" : "web/";
    std::string manifest;
    std::vector<ZipEntry> entries = row.archive;
    for (const auto& [key, content] : row.offered) {
        manifest += key + " = " + contentChecksum(content) + "\n";
        if (!row.full) serve(folder + forwardSlashes(key), content);
        if (row.archive.empty()) entries.push_back({"Astrovance/" + forwardSlashes(key), content});
    }
    serve(folder + (row.full ? "hashes.ini" : "files.ini"), manifest + row.moreManifest);
    std::string archiveBytes;
    if (row.full) {
        if (entries.empty() || !entries.back().linkTarget.empty()) SKIP_WITHOUT_SYMBOLIC_LINKS();
        archiveBytes = zipBytes(entries, row.stored);
        if (row.damage) row.damage(archiveBytes);
        serve("full/ORV.zip", archiveBytes);
        serve("full/full.ini", "full.zip = " + contentChecksum(archiveBytes) + "\n");
        if (row.kept) writeFile(root / "ORV.zip", archiveBytes);
    }
    for (const auto& [target, answers] : row.answers) server.script(target, answers);
    const int excludedBefore = excludedCount;

    EXPECT_EQ(row.full ? updateFilesFromZip(server.url("/u/full/ORV.zip"), installationRoot)
                       : updateFilesFromWeb(server.url("/u/web/files.ini"), installationRoot),
              row.complete);

    Files after;
    for (const std::string& file : filesBelow(gameFile(""))) after.emplace_back(file, readFile(gameFile(file)));
    EXPECT_EQ(after, row.after);
    // Nothing lands outside the installation.
    for (const std::string& file : filesBelow(dir.path()))
        EXPECT_TRUE(file.starts_with("Documents/") || file.starts_with("server/") || file.starts_with("outer/install/"))
            << file;
    EXPECT_EQ(readFile(root / "ORV.zip"), archiveBytes) << "kept for later runs";
    const auto lines = logMessages();
    auto at = lines.begin();
    for (const std::string& expected : row.log) {
        at = std::find_if(at, lines.end(), [&](const std::string& line) { return line.starts_with(expected); });
        ASSERT_NE(at, lines.end()) << "no line " << expected << " where expected";
        ++at;
    }
    for (const std::string& expected : row.anywhere)
        EXPECT_TRUE(std::ranges::any_of(lines, [&](const std::string& line) { return line.starts_with(expected); }))
            << expected;
    for (const auto& [target, count] : row.requests)
        EXPECT_EQ(server.requests("/u/" + folder + target), count) << target;
    EXPECT_EQ(excludedCount - excludedBefore, row.excluded);
    EXPECT_EQ(PatchProgress.overallProgress, 100);
    EXPECT_EQ(PatchProgress.fileName.get(), row.shown ? row.shown : PatchProgress.fileName.get());
    EXPECT_TRUE(!row.full || (PatchProgress.phase == Patching && PatchProgress.fileProgress == 100));
    if (row.full) return;
    // Files share the connections kept open for the update, a few at a time; a retry after a
    // failure does not trust the connection the failure came on.
    std::set<int> connections;
    for (const auto& [key, content] : row.offered) {
        const auto used = server.connectionsOf("/u/web/" + forwardSlashes(key));
        connections.insert(used.begin(), used.end());
        EXPECT_EQ(std::set<int>(used.begin(), used.end()).size(), used.size()) << key;
    }
    EXPECT_LE(connections.size(), 4u);
    // Each file's lines stay together though the downloads run side by side.
    std::string open;
    for (const auto& line : lines) {
        if (line.starts_with("Patched: ")) {
            EXPECT_EQ(open, "") << "lines of " << open << " and " << line << " mixed";
            open = line;
        } else if (line == "Download complete and file saved." || line.starts_with("Error updating file")) {
            open.clear();
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, UpdateTable, testing::ValuesIn(rows),
                         [](const testing::TestParamInfo<UpdateRow>& info) { return info.param.name; });

// Holding the transfer lock stops the update right before its extraction, once every check has
// run: the two current files count, the excluded one does not, the needed one not yet.
TEST_F(PatchTest, ZipProgressCountsExaminedEntriesButNotExcludedOnes) {
    install("a.txt", "alpha");
    install("b.txt", "bravo");
    scan();
    const std::string bytes = zipBytes({{"Astrovance/.svn/entries", "svn"}, {"Astrovance/a.txt", "alpha"},
                                        {"Astrovance/b.txt", "bravo"}, {"Astrovance/c.txt", "charlie"}});
    writeFile(root / "ORV.zip", bytes);
    serve("full/full.ini", "full.zip = " + contentChecksum(bytes) + "\n");
    serve("full/hashes.ini", ".svn/entries = " + contentChecksum("svn") + "\na.txt = " + contentChecksum("alpha") +
                                 "\nb.txt = " + contentChecksum("bravo") + "\nc.txt = " + contentChecksum("charlie") + "\n");
    std::unique_lock hold(PatchProgress.transferLock);
    std::thread updating([this] { updateFilesFromZip(server.url("/u/full/ORV.zip"), installationRoot); });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (PatchProgress.phase != Patching && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(PatchProgress.overallProgress, 50);
    EXPECT_FALSE(fs::exists(gameFile("c.txt")));
    hold.unlock();
    updating.join();
    EXPECT_EQ(readFile(gameFile("c.txt")), "charlie");
    EXPECT_FALSE(fs::exists(gameFile(".svn")));
    EXPECT_TRUE(logHas("Number of processed data: 1"));
}

// Regressions: an entry named as a drive path ("C:/..." on Windows; written with "/" as archives
// carry names) or climbing out is refused as lying outside, not reported missing; and a failed
// extraction cleans up only inside the installation, never files beside the refused target.
TEST_F(PatchTest, SingleEntryExtractionRefusesClimbingAndAbsoluteEntries) {
    std::string absolute = pathText(dir.path() / "absolute-evil");
    std::replace(absolute.begin(), absolute.end(), '\\', '/');
    writeFile(root / "ORV.zip", zipBytes({{"Astrovance/readme.txt", "read me"}, {"Astrovance/data/a.dat", "alpha"},
                                          {"Astrovance/../../evil", "escaped"}, {absolute, "escaped"}}));
    const fs::path bystanders[] = {dir.path() / "outer" / "evil.keep01", dir.path() / "absolute-evil.keep01"};
    for (const auto& file : bystanders) writeFile(file, "someone else's");

    for (const std::string& entry : {std::string("Astrovance/../../evil"), absolute, std::string("Astrovance/data/a.dat"),
                                     std::string("Astrovance/data/none.dat")})
        extractEntry("ORV.zip", entry);
    extractEntry("missing.zip", "Astrovance/data/a.dat");

    EXPECT_EQ(logMessages(), (std::vector<std::string>{
                                 "Error when extracting the file",
                                 "Extraction refused: Astrovance/../../evil lies outside the installation",
                                 "Error when extracting the file",
                                 "Extraction refused: " + absolute + " lies outside the installation",
                                 "File in Versionfile not found!", "Error when opening the archive"}));
    for (const char* gone : {"outer/evil", "evil", "absolute-evil"}) EXPECT_FALSE(fs::exists(dir.path() / gone)) << gone;
    for (const auto& file : bystanders) EXPECT_TRUE(fs::exists(file)) << file;
    EXPECT_EQ(filesBelow(gameFile("")), std::vector<std::string>{"data/a.dat"}) << "only the entry asked for";
    EXPECT_EQ(PatchProgress.phase, Patching);
}

TEST(ScanIndex, FindsTheFirstRecordOfAPathWhateverItsSeparators) {
    const std::vector<ScannedFile> files = {{"a.txt", 1, "Astrovance\\sub\\a.txt"}, {"a.txt", 2, "Astrovance/sub/a.txt"},
                                            {"B.txt", 3, "Astrovance/B.txt"}, {"c", 4, "Astrovance/c/"}};
    const ScanIndex index = indexScannedFiles(files);
    // Letters are compared exactly, a trailing separator makes another path, "." stays a name.
    const std::pair<const char*, std::uint32_t> lookups[] = {
        {"Astrovance/sub//a.txt", 1}, {"Astrovance\\sub/a.txt", 1}, {"Astrovance/b.txt", 0}, {"Astrovance/B.txt", 3},
        {"Astrovance/c", 0},          {"Astrovance/c\\", 4},        {"Astrovance/./B.txt", 0}};
    for (const auto& [path, checksum] : lookups) {
        const auto found = index.find(pathKey(path));
        EXPECT_EQ(found == index.end() ? 0u : found->second->checksum, checksum) << path;
    }
}

}  // namespace
