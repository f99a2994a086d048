// Both kinds of update as rows: the installation an update meets, what the server offers, and
// what the update leaves behind, logs and asks for.
#include <archive.h>
#include <archive_entry.h>
#include <gtest/gtest.h>

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
    const std::unique_ptr<archive, decltype(&archive_write_free)> zip(archive_write_new(),
                                                                      &archive_write_free);
    archive_write_set_format_zip(zip.get());
    if (stored) archive_write_set_format_option(zip.get(), "zip", "compression", "store");
    std::string bytes(1 << 20, '\0');
    std::size_t used = 0;
    EXPECT_EQ(archive_write_open_memory(zip.get(), bytes.data(), bytes.size(), &used), ARCHIVE_OK);
    for (const ZipEntry& item : entries) {
        const std::unique_ptr<archive_entry, decltype(&archive_entry_free)> entry(
            archive_entry_new(), &archive_entry_free);
        const bool link = !item.linkTarget.empty();
        archive_entry_set_pathname(entry.get(), item.name.c_str());
        archive_entry_set_filetype(entry.get(), link ? AE_IFLNK : AE_IFREG);
        archive_entry_set_perm(entry.get(), link ? 0777 : 0644);
        archive_entry_set_size(entry.get(), static_cast<la_int64_t>(item.content.size()));
        if (link) archive_entry_set_symlink(entry.get(), item.linkTarget.c_str());
        EXPECT_EQ(archive_write_header(zip.get(), entry.get()), ARCHIVE_OK)
            << archive_error_string(zip.get());
        if (!item.content.empty())
            archive_write_data(zip.get(), item.content.data(), item.content.size());
    }
    EXPECT_EQ(archive_write_close(zip.get()), ARCHIVE_OK);
    bytes.resize(used);
    return bytes;
}

// Text that compresses, large enough that damage in its middle leaves the archive readable.
const std::string longText = [] {
    std::string text;
    for (int i = 0; text.size() < 200000; ++i)
        text += "line " + std::to_string(i * 7919 % 1000) + "\n";
    return text;
}();

// "path=content; ..." as pairs; "<long>" stands for the long text, "path->target" for a link.
Files files(const std::string& text) {
    Files parsed;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t end = std::min(text.find("; ", at), text.size());
        const std::string item = text.substr(at, end - at);
        const std::size_t equals = item.find('=');
        const std::string content = equals == std::string::npos ? "" : item.substr(equals + 1);
        parsed.emplace_back(item.substr(0, equals), content == "<long>" ? longText : content);
        at = end + 2;
    }
    return parsed;
}

enum class Archive { Kept, Downloaded, Garbled, WrongCrc, CutShort, NotAZip };

// One update, named "web..." or "zip..." for its kind: the installation it meets, below the game
// folder ("../ORV.zip" lies beside it; "+path" is put there after the scan; "link:target" makes a
// folder link), what the server offers, and what the update leaves, logs and asks for.
struct UpdateRow {
    const char* name;
    const char* installed;
    const char* offered;       // manifest keys with their files' contents, served or archived
    std::string moreManifest;  // further manifest lines as they are
    const char* after;         // the whole game folder afterwards
    bool complete;
    std::vector<std::string> log;  // line beginnings in this order; a "~" first: anywhere
    const char* requests = "";     // "target=count; ..." below the update's folder
    Archive archive = Archive::Kept;
    const char* entries = nullptr;  // the archive's entries, when not the offered files
    std::map<std::string, std::vector<HttpAnswer>> answers = {};  // scripted, from the top
    int excluded = 0;                                             // keys skipped as excluded
    const char16_t* shown = nullptr;  // the file name the page shows at the end
};
void PrintTo(const UpdateRow& row, std::ostream* out) {
    *out << row.name;
}

#ifdef _WIN32
#define ODD "100% #1;.txt"  // Windows allows no "?" in a name
#else
#define ODD "100% #1?.txt"
#endif
#define UMLAUT \
    "\xC3\x9C" \
    "berblick.txt"
const std::string unsafeKeys =
    "../x = 1\n..\\y = 1\n/abs = 1\nC:\\x = 1\na/../../x = 1\n"
    "\\rooted = 1\n.. \\z = 1\n...\\z = 1\n";
const std::vector<std::string> unsafeSkipped = [] {
    std::vector<std::string> lines;
    for (const char* key :
         {"../x", "..\\y", "/abs", "C:\\x", "a/../../x", "\\rooted", ".. \\z", "...\\z"})
        lines.push_back(std::string("~Unsafe path in manifest skipped: ") + key);
    return lines;
}();
// Answers wherever a fetch that should not happen would lead, so that a fault shows as a file
// written, not as a download failing for good (which ends the process).
const std::map<std::string, std::vector<HttpAnswer>> escapes = [] {
    std::map<std::string, std::vector<HttpAnswer>> answers;
    for (const char* target :
         {"/u/x", "/u/y", "/u/web//abs", "/u/web/C:/x", "/u/web//rooted", "/abs", "/rooted",
          "/u/web/.. /z", "/u/web/.../z", "/u/web/Launcher.exe", "/u/web/Release/build.log",
          "/u/web/link/evil"})
        answers[target] = {answer(200, "escaped")};
    return answers;
}();
const char* threeFiles = "EXE/Astrovance.exe=an executable; data/a.dat=alpha; readme.txt=read me";
const std::vector<std::string> damaged(const std::string& reason, int failed = 1) {
    return {"Patched: Astrovance/a.txt", "Error when extracting the file", reason,
            "Patched: Astrovance/b.txt",
            "Update incomplete: " + std::to_string(failed) + " file(s) could not be extracted"};
}
const std::string damagedInArchive =
    "Extraction failed: Astrovance/a.txt is damaged in the archive (";
const std::string downloaded = "Download complete and file saved.";

const UpdateRow rows[] = {
    // Only missing and differing files are fetched, with "/" and encoded (blanks, "%",
    // "#", "?", non-ASCII), and stored below the game folder, not as names holding "\". A file on
    // disk without a scan record is taken as current; excluded keys are never fetched.
    {"webFetchesMissingAndDifferingFilesWhateverTheirNames",
     "same.txt=unchanged; old.txt=old; Release/build.log=built; +unscanned.txt=stale",
     "same.txt=unchanged; old.txt=new; unscanned.txt=fresh; sub/new.txt=a new file; "
     "data\\deep\\file.bin=for Windows; Sound\\Voice Over\\briefing 1.ogg=voice; " ODD
     "=odd; " UMLAUT "=umlaut",
     "Launcher.exe = 1234\nRelease/build.log = 5678\n",
     ODD
     "=odd; Release/build.log=built; Sound/Voice Over/briefing 1.ogg=voice; data/deep/file.bin=for "
     "Windows; old.txt=new; same.txt=unchanged; sub/new.txt=a new file; "
     "unscanned.txt=stale; " UMLAUT "=umlaut",
     true,
     {"Total number of data to be processed: 10"},
     "same.txt=0; unscanned.txt=0; Launcher.exe=0; Release/build.log=0",
     Archive::Kept,
     nullptr,
     escapes,
     2},
    {"webSkipsUnsafeKeys", "", "safe.txt=safe", unsafeKeys, "safe.txt=safe", true, unsafeSkipped,
     "safe.txt=1", Archive::Kept, nullptr, escapes},
    // A file where the update needs a folder fails alone; a retry comes on a fresh connection.
    {"webFailureIsLoggedAndTheRestDone",
     "blocker=not a folder",
     "ok.txt=fine; flaky.txt=at last",
     "blocker/sub/x.txt = 1\n",
     "blocker=not a folder; flaky.txt=at last; ok.txt=fine",
     false,
     {"~Error updating file blocker/sub/x.txt: ", "Total number of data to be processed: 3",
      "Update incomplete: 1 file(s) could not be brought up to date"},
     "flaky.txt=2",
     Archive::Kept,
     nullptr,
     {{"/u/web/flaky.txt", {answer(500), answer(200, "at last")}}}},
    {"webWithoutManifestDoesNothing",
     "",
     "",
     "",
     "",
     false,
     {"Total number of data to be processed: 0"},
     "files.ini=3",
     Archive::Kept,
     nullptr,
     {{"/u/web/files.ini", {answer(404)}}}},
    // A link already on disk carries no key outside.
    {"webKeyThroughALinkOnDisk",
     "link=link:../../../outside",
     "fine.txt=fine; link/evil=escaped",
     "",
     "fine.txt=fine; link=",
     true,
     {"~Unsafe path in manifest skipped: link/evil"},
     "link/evil=0",
     Archive::Kept,
     nullptr,
     escapes},
    {"zipKeyThroughALinkOnDisk",
     "link=link:../../../outside",
     "fine.txt=fine; link/evil=escaped",
     "",
     "fine.txt=fine; link=",
     true,
     {"~Unsafe path in manifest skipped: link/evil"}},
    // Stored in reverse; the manifest writes one key with "\" and has one the archive lacks.
    {"zipFirstInstallationInManifestOrder",
     "",
     "EXE\\Astrovance.exe=an executable; data/a.dat=alpha; readme.txt=read me",
     "k.txt = 5\n",
     threeFiles,
     false,
     {"ZIP file not found, starting download...", "ZIP hash matches, download successful.",
      "Patched: Astrovance/EXE/Astrovance.exe", "Patched: Astrovance/data/a.dat",
      "Patched: Astrovance/k.txt", "File in Versionfile not found!",
      "Patched: Astrovance/readme.txt", "Total number of data: 4", "Number of processed data: 4"},
     "ORV.zip=1",
     Archive::Downloaded,
     "Astrovance/readme.txt=read me; Astrovance/data/a.dat=alpha; Astrovance/EXE/Astrovance.exe=an "
     "executable",
     {},
     0,
     u"EXE/Astrovance.exe"},
    {"zipBrokenKeptArchiveIsDownloadedAgain",
     "../ORV.zip=broken",
     threeFiles,
     "",
     threeFiles,
     true,
     {"ZIP hash does not match, attempting to resume download...",
      "ZIP hash matches, download successful."},
     "ORV.zip=1",
     Archive::Downloaded},
    // Without the checksum file no archive matches: three downloads, and the last is used.
    {"zipDownloadedThreeTimesAtMost",
     "",
     threeFiles,
     "",
     threeFiles,
     true,
     {"ZIP file not found, starting download...",
      "ZIP hash does not match, attempting to resume download...",
      "ZIP hash does not match, attempting to resume download...",
      "Failed to download ZIP correctly after 3 attempts."},
     "ORV.zip=3",
     Archive::Downloaded,
     nullptr,
     {{"/u/full/full.ini", {answer(404)}}}},
    // An entry that cannot be read whole, or whose bytes are not the update's, leaves the installed
    // file as it was, no staging file, and the update incomplete; the other entries are still done.
    {"zipGarbledEntry", "a.txt=installed", "a.txt=<long>; b.txt=bravo", "",
     "a.txt=installed; b.txt=bravo", false, damaged(damagedInArchive), "", Archive::Garbled},
    {"zipStoredEntryWithWrongCrc", "a.txt=installed", "a.txt=<long>; b.txt=bravo", "",
     "a.txt=installed; b.txt=bravo", false, damaged(damagedInArchive), "", Archive::WrongCrc},
    {"zipCutShort", "a.txt=installed", "a.txt=<long>; b.txt=bravo", "", "a.txt=installed", false,
     damaged(damagedInArchive, 2), "", Archive::CutShort},
    {"zipEntryNotTheUpdatesBytes", "a.txt=installed", "a.txt=<long>; b.txt=bravo", "",
     "a.txt=installed; b.txt=bravo", false,
     damaged("Extraction refused: Astrovance/a.txt has checksum "), "", Archive::Kept,
     "Astrovance/a.txt=<long>!; Astrovance/b.txt=bravo"},
    {"zipNotAnArchive",
     "",
     "",
     "c.txt = 1\nd.txt = 2\ne.txt = 3\n",
     "",
     false,
     {"Patched: Astrovance/c.txt", "Error when opening the archive", "Patched: Astrovance/d.txt",
      "Error when opening the archive", "Patched: Astrovance/e.txt",
      "Error when opening the archive", "Total number of data: 3", "Number of processed data: 3"},
     "",
     Archive::NotAZip},
#ifndef _WIN32  // Windows reports every name it refuses as absent: no entry's check can fail
    // A name longer than any file system allows makes the file-system calls throw.
    {"zipEntryWhoseCheckFailsIsLogged",
     "a/x=x",
     threeFiles,
     "a/" + std::string(300, 'n') + " = 1\n",
     "EXE/Astrovance.exe=an executable; a/x=x; data/a.dat=alpha; readme.txt=read me",
     false,
     {"~Error checking file a/nnnnnnnn", "Number of processed data: 3"}},
#endif
    // The archive holds what the climbing keys name.
    {"zipSkipsUnsafeKeys", "", "safe.txt=safe", unsafeKeys, "safe.txt=safe", true, unsafeSkipped,
     "", Archive::Kept,
     "Astrovance/../x=escaped; Astrovance/../../x=escaped; Astrovance/a/../../x=escaped; "
     "Astrovance/safe.txt=safe"},
    // Only plain files come out of the archive: a link entry is refused, and the entry below its
    // name lands in a folder inside.
    {"zipLinkEntryCarriesNothingOutside",
     "",
     "fine.txt=fine; link/evil=escaped",
     "link = 1\n",
     "fine.txt=fine; link/evil=escaped",
     false,
     {"Patched: Astrovance/link", "Error when extracting the file",
      "Extraction refused: Astrovance/link is not a plain file"},
     "",
     Archive::Kept,
     "Astrovance/link->../../../outside; Astrovance/link/evil=escaped; Astrovance/fine.txt=fine"},
};

class UpdateTable : public PatchTest, public testing::WithParamInterface<UpdateRow> {};

TEST_P(UpdateTable, LeavesWhatTheRowSays) {
    const UpdateRow& row = GetParam();
    const bool full = std::string(row.name).starts_with("zip");
    fs::create_directories(dir.path() / "outside");
    fs::create_directories(gameFile(""));
    Files unscanned;
    for (const auto& [path, content] : files(row.installed)) {
        if (path.starts_with("+"))
            unscanned.emplace_back(path.substr(1), content);
        else if (!content.starts_with("link:"))
            install(path, content);
        else if (!makeFolderLink(content.substr(5), gameFile(path)))
            GTEST_SKIP() << "no symbolic links";
    }
    scan();
    for (const auto& [path, content] : unscanned) install(path, content);
    const std::string folder = full ? "full/" : "web/";
    std::string manifest;
    std::vector<ZipEntry> entries;
    for (const auto& [key, content] : files(row.offered)) {
        manifest += key + " = " + contentChecksum(content) + "\n";
        if (!full) serve(folder + forwardSlashes(key), content);
        entries.push_back({"Astrovance/" + forwardSlashes(key), content});
    }
    serve(folder + (full ? "hashes.ini" : "files.ini"), manifest + row.moreManifest);
    std::string bytes;
    if (full) {
        if (row.entries) entries.clear();
        for (const auto& [name, content] : files(row.entries ? row.entries : "")) {
            const auto arrow = name.find("->");
            entries.push_back({name.substr(0, arrow), content,
                               arrow == std::string::npos ? "" : name.substr(arrow + 2)});
        }
        if (!entries.empty() && !entries.front().linkTarget.empty()) SKIP_WITHOUT_SYMBOLIC_LINKS();
        bytes = zipBytes(entries, row.archive == Archive::WrongCrc);
        if (row.archive == Archive::Garbled || row.archive == Archive::WrongCrc)
            for (std::size_t at = 200; at < 1200; ++at)
                bytes[at] = static_cast<char>(bytes[at] ^ 0x5A);
        if (row.archive == Archive::CutShort) bytes.resize(bytes.size() / 3);
        if (row.archive == Archive::NotAZip) bytes = "not a zip file at all";
        serve("full/ORV.zip", bytes);
        serve("full/full.ini", "full.zip = " + contentChecksum(bytes) + "\n");
        if (row.archive != Archive::Downloaded && row.archive != Archive::NotAZip)
            writeFile(root / "ORV.zip", bytes);
    }
    for (const auto& [target, answers] : row.answers) server.script(target, answers);
    const int excludedBefore = excludedCount;

    EXPECT_EQ(full ? updateFilesFromZip(server.url("/u/full/ORV.zip"), installationRoot)
                   : updateFilesFromWeb(server.url("/u/web/files.ini"), installationRoot),
              row.complete);

    Files after;
    for (const std::string& file : filesBelow(gameFile("")))
        after.emplace_back(file, readFile(gameFile(file)));
    EXPECT_EQ(after, files(row.after));
    // Nothing lands outside the installation.
    for (const std::string& file : filesBelow(dir.path()))
        EXPECT_TRUE(file.starts_with("Documents/") || file.starts_with("server/") ||
                    file.starts_with("outer/install/"))
            << file;
    EXPECT_TRUE(!full || readFile(root / "ORV.zip") == bytes) << "kept for later runs";
    const auto lines = logMessages();
    auto at = lines.begin();
    for (const std::string& expected : row.log) {
        const auto starts = [&](const std::string& line) {
            return line.starts_with(expected.substr(expected[0] == '~'));
        };
        if (expected[0] == '~') {
            EXPECT_TRUE(std::ranges::any_of(lines, starts)) << expected;
            continue;
        }
        at = std::find_if(at, lines.end(), starts);
        ASSERT_NE(at, lines.end()) << "no line " << expected << " where expected";
        ++at;
    }
    for (const auto& [target, count] : files(row.requests))
        EXPECT_EQ(server.requests("/u/" + folder + target), std::stoi(count)) << target;
    EXPECT_EQ(excludedCount - excludedBefore, row.excluded);
    EXPECT_EQ(PatchProgress.overallProgress, 100);
    EXPECT_EQ(PatchProgress.fileName.get(), row.shown ? row.shown : PatchProgress.fileName.get());
    EXPECT_TRUE(!full || (PatchProgress.phase == Patching && PatchProgress.fileProgress == 100));
    if (full) return;
    // Files share the connections kept open for the update, a few at a time; a retry after a
    // failure does not trust the connection the failure came on.
    std::set<int> connections;
    for (const auto& [key, content] : files(row.offered)) {
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
        } else if (line == downloaded || line.starts_with("Error updating file")) {
            open.clear();
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, UpdateTable, testing::ValuesIn(rows),
                         [](const testing::TestParamInfo<UpdateRow>& info) {
                             return info.param.name;
                         });

// Holding the transfer lock stops the update right before its extraction, once every check has
// run: the two current files count, the excluded one does not, the needed one not yet.
TEST_F(PatchTest, ZipProgressCountsExaminedEntriesButNotExcludedOnes) {
    install("a.txt", "alpha");
    install("b.txt", "bravo");
    scan();
    const std::string bytes = zipBytes({{"Astrovance/.svn/entries", "svn"},
                                        {"Astrovance/a.txt", "alpha"},
                                        {"Astrovance/b.txt", "bravo"},
                                        {"Astrovance/c.txt", "charlie"}});
    writeFile(root / "ORV.zip", bytes);
    serve("full/full.ini", "full.zip = " + contentChecksum(bytes) + "\n");
    serve("full/hashes.ini", ".svn/entries = " + contentChecksum("svn") +
                                 "\na.txt = " + contentChecksum("alpha") +
                                 "\nb.txt = " + contentChecksum("bravo") +
                                 "\nc.txt = " + contentChecksum("charlie") + "\n");
    std::unique_lock hold(PatchProgress.transferLock);
    std::thread updating(
        [this] { updateFilesFromZip(server.url("/u/full/ORV.zip"), installationRoot); });
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
    writeFile(root / "ORV.zip", zipBytes({{"Astrovance/readme.txt", "read me"},
                                          {"Astrovance/data/a.dat", "alpha"},
                                          {"Astrovance/../../evil", "escaped"},
                                          {absolute, "escaped"}}));
    const fs::path bystanders[] = {dir.path() / "outer" / "evil.keep01",
                                   dir.path() / "absolute-evil.keep01"};
    for (const auto& file : bystanders) writeFile(file, "someone else's");

    for (const std::string& entry :
         {std::string("Astrovance/../../evil"), absolute, std::string("Astrovance/data/a.dat"),
          std::string("Astrovance/data/none.dat")})
        extractEntry("ORV.zip", entry);
    extractEntry("missing.zip", "Astrovance/data/a.dat");

    EXPECT_EQ(logMessages(),
              (std::vector<std::string>{
                  "Error when extracting the file",
                  "Extraction refused: Astrovance/../../evil lies outside the installation",
                  "Error when extracting the file",
                  "Extraction refused: " + absolute + " lies outside the installation",
                  "File in Versionfile not found!", "Error when opening the archive"}));
    for (const char* gone : {"outer/evil", "evil", "absolute-evil"})
        EXPECT_FALSE(fs::exists(dir.path() / gone)) << gone;
    for (const auto& file : bystanders) EXPECT_TRUE(fs::exists(file)) << file;
    EXPECT_EQ(filesBelow(gameFile("")), std::vector<std::string>{"data/a.dat"})
        << "only the entry asked for";
    EXPECT_EQ(PatchProgress.phase, Patching);
}

TEST(ScanIndex, FindsTheFirstRecordOfAPathWhateverItsSeparators) {
    const std::vector<ScannedFile> files = {{"a.txt", 1, "Astrovance\\sub\\a.txt"},
                                            {"a.txt", 2, "Astrovance/sub/a.txt"},
                                            {"B.txt", 3, "Astrovance/B.txt"},
                                            {"c", 4, "Astrovance/c/"}};
    const ScanIndex index = indexScannedFiles(files);
    // Letters are compared exactly, a trailing separator makes another path, "." stays a name.
    const std::pair<const char*, std::uint32_t> lookups[] = {
        {"Astrovance/sub//a.txt", 1}, {"Astrovance\\sub/a.txt", 1}, {"Astrovance/b.txt", 0},
        {"Astrovance/B.txt", 3},      {"Astrovance/c", 0},          {"Astrovance/c\\", 4},
        {"Astrovance/./B.txt", 0}};
    for (const auto& [path, checksum] : lookups) {
        const auto found = index.find(pathKey(path));
        EXPECT_EQ(found == index.end() ? 0u : found->second->checksum, checksum) << path;
    }
}

}  // namespace
