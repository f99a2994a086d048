// Both kinds of update as rows: the installation an update meets, what the server offers, and
// what the update leaves behind.
#include <archive.h>
#include <archive_entry.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <thread>

#include "core/disk_space.h"
#include "integrity/signature.h"
#include "patch/extract_entries.h"
#include "patch/update_from_web.h"
#include "patch/update_signatures.h"
#include "tests/patch/patch_fixture.h"
#include "tests/support/file_size_limit.h"
#include "tests/support/links.h"

namespace {

using Files = std::vector<std::pair<std::string, std::string>>;
using Answers = std::map<std::string, std::vector<HttpAnswer>>;  // scripted, from the top

// Text that compresses, large enough that damage in its middle leaves the archive readable.
const std::string longText = [] {
    std::string text;
    for (int i = 0; text.size() < 200000; ++i)
        text += "line " + std::to_string(i * 7919 % 1000) + "\n";
    return text;
}();

// "path=content; ..." as pairs; "<long>" stands for the long text, "<huge>" for 4 MiB.
Files files(const std::string& text) {
    Files parsed;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t end = std::min(text.find("; ", at), text.size());
        const std::string item = text.substr(at, end - at);
        const std::size_t equals = item.find('=');
        const std::string content = equals == std::string::npos ? "" : item.substr(equals + 1);
        parsed.emplace_back(item.substr(0, equals), content == "<long>" ? longText
                                                    : content == "<huge>"
                                                        ? std::string(4 << 20, 'z')
                                                        : content);
        at = end + 2;
    }
    return parsed;
}

// A ZIP archive of the entries in their order ("name->target" is a link), compressed unless
// `stored`.
std::string zipBytes(const Files& entries, bool stored = false) {
    const std::unique_ptr<archive, decltype(&archive_write_free)> zip(archive_write_new(),
                                                                      &archive_write_free);
    archive_write_set_format_zip(zip.get());
    if (stored) archive_write_set_format_option(zip.get(), "zip", "compression", "store");
    std::string bytes(1 << 20, '\0');
    std::size_t used = 0;
    EXPECT_EQ(archive_write_open_memory(zip.get(), bytes.data(), bytes.size(), &used), ARCHIVE_OK);
    for (const auto& [name, content] : entries) {
        const std::unique_ptr<archive_entry, decltype(&archive_entry_free)> entry(
            archive_entry_new(), &archive_entry_free);
        const auto arrow = name.find("->");
        archive_entry_set_pathname(entry.get(), name.substr(0, arrow).c_str());
        archive_entry_set_filetype(entry.get(), arrow == std::string::npos ? AE_IFREG : AE_IFLNK);
        archive_entry_set_perm(entry.get(), 0644);
        archive_entry_set_size(entry.get(), static_cast<la_int64_t>(content.size()));
        if (arrow != std::string::npos)
            archive_entry_set_symlink(entry.get(), name.substr(arrow + 2).c_str());
        EXPECT_EQ(archive_write_header(zip.get(), entry.get()), ARCHIVE_OK);
        archive_write_data(zip.get(), content.data(), content.size());
    }
    EXPECT_EQ(archive_write_close(zip.get()), ARCHIVE_OK);
    bytes.resize(used);
    return bytes;
}

enum class Archive { Kept, Downloaded, Garbled, WrongCrc, NotAZip, Swollen };
// The volume: with room, with less than the reserve free, or refusing writes past 100 kB.
enum class Disk { Roomy, BelowReserve, RefusesWrites };

// The archive with every size field of its first entry cut down to 1000 bytes: the entry then
// unpacks to more than it declares.
std::string swollen(std::string bytes) {
    const auto cut = [&](const std::string& signature, std::size_t at) {
        const auto found = bytes.find(signature);
        if (found == std::string::npos) return;
        for (std::size_t i = 0; i < 4; ++i) bytes[found + at + i] = "\xE8\x03\0\0"[i];
    };
    cut(std::string("PK\x03\x04"), 22);
    cut(std::string("PK\x01\x02"), 24);
    return bytes;
}

struct UpdateRow {
    const char* name;       // "web..." or "zip..." for the kind of update
    const char* installed;  // below the game folder; "+path" comes after the scan, "link:" links
    const char* offered;    // manifest keys with their files' contents, served or archived
    const char* after;      // the whole game folder afterwards
    bool complete;
    const char* log = "";           // the beginning of a line the log must hold
    const char* requests = "";      // "target=count; ..." below the update's folder
    std::string moreManifest = "";  // further manifest lines as they are
    Archive archive = Archive::Kept;
    const char* entries = nullptr;  // the archive's entries, when not the offered files
    Answers answers = {};
    // Signed by the key the launcher was built with: "good", or one fault ("how:file"): "changed"
    // after signing, "unsigned", signed by "another" key, the file "unlisted" in the strong hashes
    // or listed with the hash of other bytes ("forged": its checksum in the manifest matches).
    const char* signing = nullptr;
    const char* outside = "";  // files beside the installation, which must stay as they are
    Disk disk = Disk::Roomy;
};
void PrintTo(const UpdateRow& row, std::ostream* out) {
    *out << row.name;
}

#ifdef _WIN32
#define ODD "100% #1;.txt"  // Windows allows no "?" in a name
#else
#define ODD "100% #1?.txt"
#endif
#define UMLAUT "\xC3\x96lkanne.txt"
// Answers wherever a fetch that should not happen would lead, so that a fault shows as a file
// written, not as a download failing for good (which ends the process).
const Answers escapes = [] {
    Answers answers;
    for (const char* target :
         {"/u/x", "/u/y", "/u/web//abs", "/u/web/C:/x", "/u/web//rooted", "/abs", "/rooted",
          "/u/web/.. /z", "/u/web/.../z", "/u/web/Launcher.exe", "/u/web/Release/build.log",
          "/u/web/link/evil", "/u/web/EXE.", "/u/web/aux.txt"})
        answers[target] = {answer(200, "escaped")};
    return answers;
}();
const Answers flaky = {{"/u/web/flaky.txt", {answer(500), answer(200, "at last")}}};
const Answers noFullInfo = {{"/u/full/full.ini", {answer(404)}}};
const Answers errorPage = {
    {"/u/web/files.ini", {answer(200, "<!DOCTYPE html>\nx.txt = " + contentChecksum("x"))}},
    {"/u/web/x.txt", {answer(200, "x")}}};
const char* threeFiles = "EXE/Astrovance.exe=an executable; data/a.dat=alpha; readme.txt=read me";
const char* damagedIn = "Extraction failed: Astrovance/a.txt is damaged in the archive";

const UpdateRow rows[] = {
    // Only missing and differing files are fetched, with "/" and encoded (blanks, "%", "#", "?",
    // non-ASCII: a regression), whatever separator the key and the scan use. A file on disk
    // without a scan record is taken as current; excluded keys are never fetched.
    {"webFetchesMissingAndDifferingFilesWhateverTheirNames",
     "same.txt=same; old.txt=old; data/deep/file.bin=deep; Release/build.log=built; +unscanned=x",
     "same.txt=same; old.txt=new; unscanned=fresh; sub/new.txt=new; data\\deep\\file.bin=deep; "
     "Sound\\Voice Over\\briefing 1.ogg=voice; " ODD "=odd; " UMLAUT "=umlaut",
     ODD "=odd; Release/build.log=built; Sound/Voice Over/briefing 1.ogg=voice; data/deep/file.bin="
         "deep; old.txt=new; same.txt=same; sub/new.txt=new; unscanned=x; " UMLAUT "=umlaut",
     true, "", "same.txt=0; unscanned=0; data/deep/file.bin=0; Launcher.exe=0; Release/build.log=0",
     "Launcher.exe = 1234\nRelease/build.log = 5678\n", Archive::Kept, nullptr, escapes},
    {"webSkipsUnsafeKeys", "", "safe.txt=safe", "safe.txt=safe", true,
     "Unsafe path in manifest skipped: ", "safe.txt=1",
     "../x = 1\n..\\y = 1\n/abs = 1\nC:\\x = 1\na/../../x = 1\n\\rooted = 1\n.. \\z = 1\n"
     "...\\z = 1\nEXE. = 1\naux.txt = 1\n",
     Archive::Kept, nullptr, escapes},
    {"webKeyThroughALinkOnDisk", "link=link:../../../outside", "fine.txt=fine; link/evil=escaped",
     "fine.txt=fine; link=", true, "Unsafe path in manifest skipped: link/evil", "link/evil=0", "",
     Archive::Kept, nullptr, escapes},
    // Regression: spellings of one file were fetched side by side into one staging file. One
    // transfer, for the later line.
    {"webOneTransferPerSpelling", "", "x=one", "x=one", true,
     "The file list names one file twice; the later line counts: x", "x=1",
     "./x = " + contentChecksum("two") + "\n.\\x = " + contentChecksum("two") + "\n"},
    // Regression: a link planted at the staging name carried the server's bytes out.
    {"webStagingLinkIsRemovedNotFollowed",
     "z.bin.orv-partial=link:../../../outside/victim.txt",
     "z.bin=zed",
     "z.bin=zed",
     true,
     "Download complete",
     "z.bin=1",
     "",
     Archive::Kept,
     nullptr,
     {},
     nullptr,
     "victim.txt=precious"},
    // Regression: a full disk read as a lost connection. The file stops at the reserve, nothing
    // of it stays, and the log says why.
    // A write the disk refuses is no lost connection either: no retry, no box.
    {"webRefusedWriteIsAFullDisk", "", "big.bin=<long>", "", false,
     "Download stopped: the disk is full", "big.bin=1", "", Archive::Kept, nullptr, Answers(),
     nullptr, "", Disk::RefusesWrites},
    {"webDiskFullStopsAtTheReserve",
     "old.txt=old",
     "old.txt=new; big.bin=<long>",
     "old.txt=old",
     false,
     "Download stopped: the disk is full",
     "",
     "",
     Archive::Kept,
     nullptr,
     {},
     nullptr,
     "",
     Disk::BelowReserve},
    // A file where the update needs a folder fails alone; a failed answer is asked again.
    {"webFailureIsLoggedAndTheRestDone", "blocker=not a folder", "ok.txt=fine; flaky.txt=at last",
     "blocker=not a folder; flaky.txt=at last; ok.txt=fine", false,
     "Update incomplete: 1 file(s) could not be brought up to date", "flaky.txt=2",
     "blocker/sub/x.txt = 1\n", Archive::Kept, nullptr, flaky},
    // Regression: a file the server keeps wrong locked every player out with the lost-connection
    // box; it fails alone now, after three whole downloads, and the rest is done.
    {"webWrongFileFailsAloneAndTheRestIsDone",
     "",
     "ok.txt=fine; wrong.txt=right",
     "ok.txt=fine",
     false,
     "Update incomplete: 1 file(s) could not be brought up to date",
     "wrong.txt=3",
     "",
     Archive::Kept,
     nullptr,
     {{"/u/web/wrong.txt", {answer(200, "tampered")}}}},
    {"webErrorPageIsNoManifest", "", "", "", false, "", "x.txt=0", "", Archive::Kept, nullptr,
     errorPage},
    // Stored in reverse; the manifest writes keys with "\", has one the archive lacks and an
    // excluded one.
    {"zipFirstInstallationInManifestOrder", "",
     "EXE\\Astrovance.exe=an executable; data/a.dat=alpha; readme.txt=read me; .svn/entries=svn",
     threeFiles, false, "File in Versionfile not found!", "ORV.zip=1", "k.txt = 5\n",
     Archive::Downloaded,
     "Astrovance/readme.txt=read me; Astrovance/data/a.dat=alpha; Astrovance/.svn/entries=svn; "
     "Astrovance/EXE/Astrovance.exe=an executable"},
    {"zipBrokenKeptArchiveIsDownloadedAgain", "../ORV.zip=broken", threeFiles, threeFiles, true,
     "ZIP hash does not match", "ORV.zip=1", "", Archive::Downloaded},
    // Without the checksum file no archive matches: three downloads, and the last is used.
    {"zipDownloadedThreeTimesAtMost", "", threeFiles, threeFiles, true,
     "Failed to download ZIP correctly after 3 attempts.", "ORV.zip=3", "", Archive::Downloaded,
     nullptr, noFullInfo},
    // An entry that cannot be read whole, or whose bytes are not the update's, leaves the installed
    // file as it was, no staging file, and the update incomplete; the other entries are still done.
    {"zipGarbledEntry", "a.txt=installed", "a.txt=<long>; b.txt=bravo",
     "a.txt=installed; b.txt=bravo", false, damagedIn, "", "", Archive::Garbled},
    {"zipStoredEntryWithWrongCrc", "a.txt=installed", "a.txt=<long>; b.txt=bravo",
     "a.txt=installed; b.txt=bravo", false, damagedIn, "", "", Archive::WrongCrc},
    {"zipEntryNotTheUpdatesBytes", "a.txt=installed", "a.txt=<long>; b.txt=bravo",
     "a.txt=installed; b.txt=bravo", false, "Extraction refused: Astrovance/a.txt has checksum ",
     "", "", Archive::Kept, "Astrovance/a.txt=<long>!; Astrovance/b.txt=bravo"},
    {"zipNotAnArchive", "", "", "", false, "Error when opening the archive", "", "c.txt = 1\n",
     Archive::NotAZip},
    {"zipStagingLinkIsRemovedNotFollowed",
     "z.bin.orv-partial=link:../../../outside/victim.txt",
     "z.bin=zed",
     "z.bin=zed",
     true,
     "Patched: Astrovance/z.bin",
     "",
     "",
     Archive::Kept,
     nullptr,
     {},
     nullptr,
     "victim.txt=precious"},
    {"zipDiskFullStopsAtTheReserve",
     "a.txt=installed",
     "a.txt=<long>; b.txt=bravo",
     "a.txt=installed",
     false,
     "Extraction stopped: the disk is full",
     "",
     "",
     Archive::Kept,
     nullptr,
     {},
     nullptr,
     "",
     Disk::BelowReserve},
    // Regression: an entry that unpacks to far more than it declares (a zip bomb) filled the disk
    // before its checksum refused it.
    {"zipEntryStopsAtItsDeclaredSize", "a.txt=installed", "a.txt=<huge>; b.txt=bravo",
     "a.txt=installed; b.txt=bravo", false, "Extraction refused: Astrovance/a.txt holds more than",
     "", "", Archive::Swollen},
    // Only plain files come out of the archive: a link entry is refused, and the entry below its
    // name lands in a folder inside.
    {"zipLinkEntryCarriesNothingOutside", "", "fine.txt=fine; link/evil=escaped",
     "fine.txt=fine; link/evil=escaped", false,
     "Extraction refused: Astrovance/link is not a plain file", "", "link = 1\n", Archive::Kept,
     "Astrovance/link->../../../outside; Astrovance/link/evil=escaped; Astrovance/fine.txt=fine"},
    {"webSigned",
     "old.txt=old",
     "old.txt=new; sub/b.txt=bravo",
     "old.txt=new; sub/b.txt=bravo",
     true,
     "Download complete",
     "",
     "",
     Archive::Kept,
     nullptr,
     {},
     "good"},
    {"webSignedFileForged",
     "",
     "a.txt=alpha; b.txt=bravo",
     "b.txt=bravo",
     false,
     "Signature refused for http",
     "a.txt=1",
     "",
     Archive::Kept,
     nullptr,
     {},
     "forged:a.txt"},
    {"webSignedKeyUnlisted",
     "",
     "a.txt=alpha; b.txt=bravo",
     "b.txt=bravo",
     false,
     "Signature refused for http",
     "a.txt=0",
     "",
     Archive::Kept,
     nullptr,
     {},
     "unlisted:a.txt"},
    {"webManifestChangedAfterSigning",
     "",
     "a.txt=alpha",
     "",
     false,
     "Signature refused for http",
     "a.txt=0",
     "",
     Archive::Kept,
     nullptr,
     {},
     "changed:files.ini"},
    {"webManifestUnsigned",
     "",
     "a.txt=alpha",
     "",
     false,
     "Signature refused for http",
     "a.txt=0",
     "",
     Archive::Kept,
     nullptr,
     {},
     "unsigned:files.ini"},
    {"zipSigned",
     "",
     threeFiles,
     threeFiles,
     true,
     "ZIP hash matches",
     "ORV.zip=1",
     "",
     Archive::Downloaded,
     nullptr,
     {},
     "good"},
    {"zipSignedKeptArchive",
     "",
     threeFiles,
     threeFiles,
     true,
     "ZIP hash matches",
     "ORV.zip=0",
     "",
     Archive::Kept,
     nullptr,
     {},
     "good"},
    {"zipArchiveChangedAfterSigning",
     "",
     threeFiles,
     "",
     false,
     "Signature refused for http",
     "ORV.zip=3",
     "",
     Archive::Downloaded,
     nullptr,
     {},
     "changed:ORV.zip"},
    {"zipArchiveByAnotherKey",
     "",
     threeFiles,
     "",
     false,
     "Signature refused for http",
     "",
     "",
     Archive::Kept,
     nullptr,
     {},
     "another:ORV.zip"},
};

// Serves the signatures of the files a row names, with the faults it asks for.
using Serve = std::function<void(const std::string&, const std::string&)>;
void serveSignatures(const Serve& serve, const UpdateRow& row, const std::string& folder,
                     std::map<std::string, std::string> served, const Files& offered) {
    static const SecretKey key = makeSecretKey();
    const std::string how = row.signing;
    const auto colon = how.find(':');
    const std::string fault = how.substr(0, colon);
    const std::string faulty = colon == std::string::npos ? "" : how.substr(colon + 1);
    overrideUpdatePublicKey(writePublicKey(publicKeyOf(key)));
    if (fault == "changed" && faulty == "ORV.zip") {
        // Bytes that pass the archive's checksum: only the signature can tell.
        served["full.ini"] = "full.zip = " + contentChecksum(served["ORV.zip"] + "!") + "\n";
        serve(folder + "full.ini", served["full.ini"]);
    }
    if (folder == "web/") {
        std::string hashes;
        for (const auto& [file, content] : offered) {
            StrongHash hash;
            hash.add(content.data(), content.size());
            if (file == faulty) hash.add("!", 1);
            if (!(fault == "unlisted" && file == faulty))
                hashes += file + " = " + hash.finish() + "\n";
        }
        served[strongHashesName] = hashes;
        serve(folder + strongHashesName, hashes);
    }
    for (const auto& [file, content] : served) {
        if (file == faulty && fault == "unsigned") continue;
        const bool another = file == faulty && fault == "another";
        const std::string signature =
            signMessage(another ? makeSecretKey() : key, content, defaultTrustedComment(1, file));
        serve(folder + signatureUrl(file), signature);
        if (file == faulty && fault == "changed") serve(folder + file, content + "!");
    }
}

class UpdateTable : public PatchTest, public testing::WithParamInterface<UpdateRow> {};

TEST_P(UpdateTable, LeavesWhatTheRowSays) {
    const UpdateRow& row = GetParam();
    const bool full = std::string(row.name).starts_with("zip");
    const std::string folder = full ? "full/" : "web/";
    fs::create_directories(dir.path() / "outside");
    fs::create_directories(gameFile(""));
    for (const auto& [path, content] : files(row.outside))
        writeFile(dir.path() / "outside" / path, content);
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
    std::string manifest = row.moreManifest;
    Files entries;
    for (const auto& [key, content] : files(row.offered)) {
        manifest += key + " = " + contentChecksum(content) + "\n";
        if (!full) serve(folder + forwardSlashes(key), content);
        entries.emplace_back("Astrovance/" + forwardSlashes(key), content);
    }
    serve(folder + (full ? "hashes.ini" : "files.ini"), manifest);
    std::string bytes;
    if (full) {
        if (row.entries) entries = files(row.entries);
        if (std::string(row.name).find("Link") != std::string::npos) SKIP_WITHOUT_SYMBOLIC_LINKS();
        bytes = zipBytes(entries, row.archive == Archive::WrongCrc);
        if (row.archive == Archive::Garbled || row.archive == Archive::WrongCrc)
            for (std::size_t at = 200; at < 1200; ++at)
                bytes[at] = static_cast<char>(bytes[at] ^ 0x5A);
        if (row.archive == Archive::NotAZip) bytes = "not a zip file at all";
        if (row.archive == Archive::Swollen) bytes = swollen(bytes);
        serve("full/ORV.zip", bytes);
        serve("full/full.ini", "full.zip = " + contentChecksum(bytes) + "\n");
        if (row.archive != Archive::Downloaded && row.archive != Archive::NotAZip)
            writeFile(root / "ORV.zip", bytes);
    }
    for (const auto& [target, answers] : row.answers) server.script(target, answers);
    struct KeyReset {
        ~KeyReset() { overrideUpdatePublicKey(""); }
    } keyReset;
    if (row.signing) {
        std::map<std::string, std::string> served{{full ? "hashes.ini" : "files.ini", manifest}};
        if (full) served["ORV.zip"] = bytes;
        if (full) served["full.ini"] = "full.zip = " + contentChecksum(bytes) + "\n";
        serveSignatures([this](auto& path, auto& content) { serve(path, content); }, row, folder,
                        served, files(row.offered));
    }
#ifdef _WIN32
    if (row.disk == Disk::RefusesWrites) GTEST_SKIP() << "no file size limit for one process";
#else
    std::optional<FileSizeLimit> refusing;
    if (row.disk == Disk::RefusesWrites) refusing.emplace(100000);
#endif
    struct Volume {
        explicit Volume(bool full) {
            if (full)
                freeSpaceQuery = [](const std::string&) { return std::optional<std::uint64_t>(0); };
        }
        ~Volume() { freeSpaceQuery = &platform::freeSpace; }
    } volume(row.disk == Disk::BelowReserve);

    EXPECT_EQ(full ? updateFilesFromZip(server.url("/u/full/ORV.zip"), installationRoot)
                   : updateFilesFromWeb(server.url("/u/web/files.ini"), installationRoot),
              row.complete);
#ifndef _WIN32
    refusing.reset();
#endif

    Files after;
    for (const std::string& file : filesBelow(gameFile("")))
        after.emplace_back(file, readFile(gameFile(file)));
    EXPECT_EQ(after, files(row.after));
    for (const std::string& file : filesBelow(dir.path()))  // nothing lands outside
        EXPECT_TRUE(file.starts_with("Documents/") || file.starts_with("server/") ||
                    file.starts_with("outer/install/") || file.starts_with("outside/"))
            << file;
    const bool changedArchive = row.signing && std::string(row.signing) == "changed:ORV.zip";
    Files outside;
    for (const std::string& file : filesBelow(dir.path() / "outside"))
        outside.emplace_back(file, readFile(dir.path() / "outside" / file));
    EXPECT_EQ(outside, files(row.outside));
    EXPECT_TRUE(!full || changedArchive || readFile(root / "ORV.zip") == bytes)
        << "kept for later runs";
    std::string logText;
    for (const auto& line : logMessages()) logText += line + "\n";
    EXPECT_FALSE(logged(row.log).empty()) << row.log << " in\n" << logText;
    for (const auto& [target, count] : files(row.requests))
        EXPECT_EQ(server.requests("/u/" + folder + target), std::stoi(count)) << target;
    EXPECT_EQ(PatchProgress.overallProgress, 100);
}

INSTANTIATE_TEST_SUITE_P(Rows, UpdateTable, testing::ValuesIn(rows),
                         [](const testing::TestParamInfo<UpdateRow>& info) {
                             return info.param.name;
                         });

// Regression: every download wrote its name on the page's file line as it began, beside the
// percentage of another one under way. Whenever the timer looks, the line's name and percentage
// belong to one transfer: "name (r KB / e KB)" at about r/e, or a bare name at 0 %.
TEST_F(PatchTest, FileLineNeverPairsOneTransfersNameWithAnothersPercentage) {
    std::string manifest;
    // The first transfer stops halfway for a while, holding the line, as small others go by.
    for (int i = 0; i < 40; ++i) {
        const std::string name = "f" + std::to_string(100 + i) + ".bin";
        const std::string content = i == 0 ? longText : "small " + name;
        serve("web/" + name, content);
        manifest += name + " = " + contentChecksum(content) + "\n";
    }
    serve("web/files.ini", manifest);
    server.script("/u/web/f100.bin", {answer(200, longText, Delivery::Pause)});
    server.addRoundTrip(std::chrono::milliseconds(10));
    std::atomic<bool> done{false};
    std::thread update([&] {
        updateFilesFromWeb(server.url("/u/web/files.ini"), installationRoot);
        done = true;
    });
    std::thread release([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        server.release();
    });
    int samples = 0;
    std::vector<std::string> mismatched;
    while (!done) {
        const FileLine line = PatchProgress.fileLine();
        const std::string name = toNarrow(line.name);
        int received = 0, expected = 0;
        const auto open = name.find(" (");
        const bool sized =
            open != std::string::npos &&
            std::sscanf(name.c_str() + open, " (%d KB / %d KB)", &received, &expected) == 2;
        const bool fits =
            sized ? expected > 0 && std::abs(line.progress - received * 100.0 / expected) < 2
                  : line.progress == 0 || name.empty();
        if (!fits) mismatched.push_back(name + " at " + std::to_string(line.progress));
        ++samples;
    }
    update.join();
    release.join();
    EXPECT_GT(samples, 0);
    EXPECT_EQ(mismatched, std::vector<std::string>{});
}

// Regressions: an entry named as a drive path ("C:/...", written with "/" as archives carry names)
// or climbing out is refused as lying outside, not reported missing; and a failed extraction
// cleans up only inside the installation, never files beside the refused target.
TEST_F(PatchTest, SingleEntryExtractionRefusesClimbingAndAbsoluteEntries) {
    const std::string refused[] = {"Astrovance/../../evil", "C:/evil",
                                   forwardSlashes(pathText(dir.path() / "absolute-evil"))};
    const char* why[] = {"it leads out of its folder", "it names a drive or a stream",
                         "it is absolute"};
    Files entries = {{"Astrovance/data/a.dat", "alpha"}};
    for (const std::string& name : refused) entries.emplace_back(name, "escaped");
#ifndef _WIN32  // nor may a link on disk carry an entry out (Wine makes no links)
    fs::create_directories(dir.path() / "elsewhere");
    fs::create_directories(root / "Astrovance");
    fs::create_directory_symlink(dir.path() / "elsewhere", root / "Astrovance/linked");
    entries.emplace_back("Astrovance/linked/evil", "escaped");
#endif
    writeFile(root / "ORV.zip", zipBytes(entries));
    const fs::path bystanders[] = {dir.path() / "outer/evil.keep01",
                                   dir.path() / "absolute-evil.keep01"};
    for (const auto& file : bystanders) writeFile(file, "someone else's");

    std::vector<std::string> expected;
    for (std::size_t i = 0; i < std::size(refused); ++i) {
        extractEntry("ORV.zip", refused[i]);
        expected.push_back("Error when extracting the file");
        expected.push_back("Extraction refused: " + refused[i] + ": " + why[i]);
    }
#ifndef _WIN32
    extractEntry("ORV.zip", "Astrovance/linked/evil");
    expected.push_back("Error when extracting the file");
    expected.push_back(
        "Extraction refused: a link leads Astrovance/linked/evil outside the "
        "installation");
    fs::remove(root / "Astrovance/linked");
    EXPECT_TRUE(fs::is_empty(dir.path() / "elsewhere"));
#endif
    extractEntry("ORV.zip", "Astrovance/data/a.dat");
    extractEntry("ORV.zip", "Astrovance/data/none.dat");
    extractEntry("missing.zip", "Astrovance/data/a.dat");
    expected.push_back("File in Versionfile not found!");
    expected.push_back("Error when opening the archive");
    EXPECT_EQ(logMessages(), expected);
    for (const auto& file : bystanders) EXPECT_TRUE(fs::exists(file)) << file;
    EXPECT_EQ(filesBelow(dir.path() / "outer"),
              (std::vector<std::string>{"evil.keep01", "install/Astrovance/data/a.dat",
                                        "install/ORV.zip"}));
    EXPECT_FALSE(fs::exists(dir.path() / "absolute-evil"));
}

}  // namespace
