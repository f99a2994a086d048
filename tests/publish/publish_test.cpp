// orv-publish: trees published and installed by the launcher's own patch run, the archive's
// packing, what a publish refuses and what `check` finds in a broken server, each as a row.
#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <sstream>

#include "patch/update_signatures.h"
#include "publish/archive_contents.h"
#include "publish/archive_packer.h"
#include "publish/check_report.h"
#include "publish/check_server.h"
#include "publish/progress_line.h"
#include "publish/publish_update.h"
#include "publish/server_files.h"
#include "publish/update_signing.h"
#include "testdata/game_trees.h"
#include "testdata/zip_writer.h"
#include "tests/patch/patch_fixture.h"

namespace {

// The team's key of these tests: every publish is signed, every check checks the signatures.
const SecretKey& teamKey() {
    static const SecretKey key = makeSecretKey();
    return key;
}

class PublishTest : public PatchTest {
protected:
    ProgressLine quiet{false};
    const fs::path oldRoot = dir.path() / "trees" / "1.0", newRoot = dir.path() / "trees" / "1.1";
    const testdata::MadeTrees trees = testdata::makeGameTrees({oldRoot, newRoot, 5, 12, 0.4, true});

    int publish(PublishRequest request, std::string* errors = nullptr, ZipLimits limits = {}) {
        std::ostringstream out, err;
        if (request.root.empty()) request.root = pathText(serverFolder);
        const bool full = !request.tree.empty();
        const int status = full ? publishFull(request, out, err, quiet, limits)
                                : publishInc(request, out, err, quiet);
        if (errors) *errors = err.str();
        return status;
    }
    void publishBoth() {
        ASSERT_EQ(publish({.version = "1.0", .tree = pathText(oldRoot), .key = teamKey()}), 0);
        ASSERT_EQ(publish({.version = "1.1",
                           .from = pathText(oldRoot),
                           .to = pathText(newRoot),
                           .key = teamKey()}),
                  0);
    }
    static std::string check(const fs::path& root, int& errors, const std::string& url = {}) {
        std::ostringstream out;
        CheckReport report(out);
        ProgressLine none(false);
        const auto server = url.empty() ? localServer(pathText(root)) : remoteServer(url);
        checkServer(*server, report, none);
        checkSignatures(*server, publicKeyOf(teamKey()), report);
        errors = report.errors();
        return out.str();
    }
};

// Both updates installed by the patch run from the test server end as NEW byte for byte: a fresh
// installation (full archive, then inc) and one at 1.0 without its archive. NEW has non-ASCII
// names, blanks, empty files, a new folder and a folder that is gone.
TEST_F(PublishTest, InstallationsEndAsTheNewTreeByteForByte) {
    publishBoth();
    server.serveFolder("", serverFolder);
    // An installation at 1.0 downloads the inc update's files and keeps its archive. The server
    // reads the same on the disk and through the launcher's transfers.
    std::uint64_t incBytes = 0;
    for (const std::string& file : filesBelow(serverFolder / "updates" / "1.1"))
        if (file != "hashes.ini" && file != "PrePatch.ini" && file != strongHashesName &&
            !file.ends_with(".minisig"))
            incBytes += fs::file_size(serverFolder / "updates" / "1.1" / toPath(file));
    for (const std::string& url : {std::string(), server.url()}) {
        int errors = -1;
        const std::string report = check(serverFolder, errors, url);
        EXPECT_EQ(errors, 0) << report;
        EXPECT_NE(
            report.find("at 1.0: applies 1.0 full, 1.1 inc, downloads " + byteCount(incBytes)),
            std::string::npos)
            << report;
    }
    // A launcher built with the team's key installs what the team signed.
    overrideUpdatePublicKey(writePublicKey(publicKeyOf(teamKey())));
    struct KeyReset {
        ~KeyReset() { overrideUpdatePublicKey(""); }
    } keyReset;
    const auto expected = filesBelow(newRoot / "Astrovance");
    for (const bool fresh : {true, false}) {
        fs::remove_all(root / "Astrovance");
        fs::remove(root / "ORV.zip");
        if (!fresh)
            fs::copy(oldRoot / "Astrovance", root / "Astrovance", fs::copy_options::recursive);
        setClientVersion(fresh ? "0.0.0" : "1.0");
        resetProgress();
        patchThreadFrom(server.url());
        ASSERT_EQ(filesBelow(root / "Astrovance"), expected) << (fresh ? "fresh" : "at 1.0");
        for (const std::string& file : expected)
            EXPECT_EQ(readFile(root / "Astrovance" / toPath(file)),
                      readFile(newRoot / "Astrovance" / toPath(file)))
                << file;
        EXPECT_EQ(clientVersion(), "1.1");
    }
}

// The same tree gives the same archive; one written with Zip64 records everywhere reads the same.
// Text is deflated, random bytes and empty files are stored.
TEST_F(PublishTest, ArchivesRepeatThemselvesAndDeflateOnlyWhereItPays) {
    const std::string zip = pathText(serverFolder / "full" / "1.0" / "ORV.zip");
    ASSERT_EQ(publish({.version = "1.0", .tree = pathText(oldRoot)}), 0);
    const std::string first = readFile(toPath(zip));
    ASSERT_EQ(publish({.version = "1.0", .tree = pathText(oldRoot)}), 0);
    EXPECT_EQ(readFile(toPath(zip)), first);
    ASSERT_EQ(publish({.root = pathText(dir.path() / "zip64"),
                       .version = "1.0",
                       .tree = pathText(oldRoot),
                       .key = teamKey()},
                      nullptr, {0, 0, 0}),
              0);
    int errors = -1;
    check(dir.path() / "zip64", errors);
    EXPECT_EQ(errors, 0);

    std::string random(300000, '\0'), text;
    std::mt19937 bits(7);
    for (char& byte : random) byte = static_cast<char>(bits());
    for (int i = 0; text.size() < 3000000; ++i) text += "entry " + std::to_string(i) + "\n";
    writeFile(dir.path() / "random.bin", random);
    writeFile(dir.path() / "text.txt", text);
    writeFile(dir.path() / "empty", "");
    const auto packed = packArchive({{"random.bin", dir.file("random.bin"), random.size()},
                                     {"text.txt", dir.file("text.txt"), text.size()},
                                     {"empty", dir.file("empty"), 0}},
                                    dir.file("pack.zip"), quiet);
    std::vector<bool> deflated;
    for (const auto& file : packed.files) deflated.push_back(file.deflated);
    EXPECT_EQ(deflated, (std::vector<bool>{false, true, false}));
    EXPECT_LT(packed.archiveBytes, random.size() + text.size() / 4);
    // The text spans several pieces, deflated side by side into one stream.
    const auto read = readArchiveContents(dir.file("pack.zip"), quiet);
    ASSERT_EQ(read.entries.size(), 3u);
    EXPECT_EQ(read.entries[1].checksum, contentChecksum(text));
}

// A publish sets the current version, the launcher's and its update's line, and keeps every other
// line of version.ini as it was, line ends included.
TEST_F(PublishTest, VersionFileKeepsEveryOtherLine) {
    const std::string head = "; ORV download server\r\n[CurrentVersion]\r\nVersion = ";
    const std::string middle = "\r\n\r\n[Launcher]\r\nVersion = ";
    const std::string updates = "\r\n\r\n[Updates]\r\n1.0 = full, /full/1.0/ORV.zip\r\n";
    const std::string tail = "\r\n[Mirrors]\r\nmain = https://mirror.example.org\r\n";
    writeFile(serverFolder / "version.ini", head + "1.0" + middle + "0.0.1" + updates + tail);
    ASSERT_EQ(publish({.version = "1.1",
                       .launcherVersion = "0.0.2",
                       .from = pathText(oldRoot),
                       .to = pathText(newRoot)}),
              0);
    EXPECT_EQ(readFile(serverFolder / "version.ini"), head + "1.1" + middle + "0.0.2" + updates +
                                                          "1.1 = inc, /updates/1.1/hashes.ini\r\n" +
                                                          tail);
}

struct RefusalRow {
    const char* name;
    std::function<PublishRequest(const fs::path& newCopy, const fs::path& serverRoot)> prepare;
    const char* refusal;
};

PublishRequest incTo(const fs::path& newCopy, const char* version = "1.1") {
    return {.version = version, .from = "", .to = pathText(newCopy)};
}

void addFile(const fs::path& tree, const std::string& relative) {
    writeFile(tree / "Astrovance" / toPath(relative), "x");
}

const RefusalRow refusalRows[] = {
    {"LauncherFile",
     [](auto& t, auto&) {
         addFile(t, "Launcher.exe");
         return incTo(t);
     },
     "Astrovance/Launcher.exe: the launcher leaves out every file named or below \"Launcher.exe\""},
    {"BelowSvn",
     [](auto& t, auto&) {
         addFile(t, "Data/.svn/entries");
         return incTo(t);
     },
     "below \".svn\""},
    {"EqualsSign",
     [](auto& t, auto&) {
         addFile(t, "a=b.txt");
         return incTo(t);
     },
     "a=b.txt: a line of hashes.ini cannot carry it"},
    {"WindowsName",
     [](auto& t, auto&) {
         addFile(t, "what?.txt");
         return incTo(t);
     },
     "holds \"?\", which Windows does not allow"},
    {"Backslash",
     [](auto& t, auto&) {
         addFile(t, "Data\\x.dat");
         return incTo(t);
     },
     "read as a folder break"},
    {"CaseTwins",
     [](auto& t, auto&) {
         addFile(t, "Data/Twin.dat");
         addFile(t, "Data/twin.dat");
         return incTo(t);
     },
     "on Windows it is the same file as"},
    {"ScriptName",
     [](auto& t, auto&) {
         addFile(t, "PrePatch.ini");
         return incTo(t);
     },
     "in place of the update's own script"},
    {"VersionBelowCurrent",
     [](auto& t, auto& server) {
         writeFile(server / "version.ini", "[CurrentVersion]\nVersion = 1.9\n");
         return incTo(t, "1.10");
     },
     "version 1.10 sorts below the current version 1.9"},
    {"FreshVersion", [](auto& t, auto&) { return incTo(t, "0.0.0"); }, "without any version"},
    {"VersionWithBlank", [](auto& t, auto&) { return incTo(t, "1 1"); }, "may hold only"},
    {"UpdatesBeforeCurrent",
     [](auto& t, auto& server) {
         writeFile(server / "version.ini", "[Updates]\n1.0 = inc, /x\n[CurrentVersion]\nV = 1.0\n");
         return incTo(t);
     },
     "the launcher would drop the new line"},
    {"NothingChanged", [](auto&, auto&) { return incTo({}); }, "there is nothing to publish"},
    {"FullOfAnExcludedName",
     [](auto& t, auto&) {
         addFile(t, "Release/a.dll");
         return PublishRequest{.version = "1.1", .tree = pathText(t)};
     },
     "below \"Release\""},
};

class RefusalTable : public PublishTest, public testing::WithParamInterface<RefusalRow> {};

// Nothing is written, and the reason names the file or version.
TEST_P(RefusalTable, RefusesWithTheReason) {
    const fs::path copy = dir.path() / "copy";
    fs::copy(newRoot, copy, fs::copy_options::recursive);
    fs::create_directories(serverFolder);
    writeFile(serverFolder / "version.ini", "[CurrentVersion]\nVersion = 1.0\n");
    PublishRequest request = GetParam().prepare(copy, serverFolder);
    if (request.tree.empty()) {
        request.from = pathText(request.to.empty() ? newRoot : oldRoot);
        if (request.to.empty()) request.to = pathText(newRoot);
    }
    const std::string before = readFile(serverFolder / "version.ini");
    std::string refusal;
    EXPECT_EQ(publish(request, &refusal), 1);
    EXPECT_NE(refusal.find(GetParam().refusal), std::string::npos) << refusal;
    EXPECT_EQ(readFile(serverFolder / "version.ini"), before);
    EXPECT_EQ(filesBelow(serverFolder), std::vector<std::string>{"version.ini"});
    if (std::string(GetParam().name) == "VersionBelowCurrent") {
        request.force = true;
        EXPECT_EQ(publish(request), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, RefusalTable, testing::ValuesIn(refusalRows),
                         [](const auto& row) { return std::string(row.param.name); });

struct BreakageRow {
    const char* name;
    std::function<void(const fs::path& root)> breakIt;
    const char* finding;
};

void append(const fs::path& file, const std::string& text) {
    writeFile(file, readFile(file) + text);
}

void refreshFullIni(const fs::path& root) {
    writeFile(root / "full/1.0/full.ini",
              "full.zip = " + contentChecksum(readFile(root / "full/1.0/ORV.zip")) + "\n");
}

// Sets the method of the archive's entry `name` in its local header and the central directory.
void setMethod(const fs::path& root, const std::string& name, char method) {
    std::string zip = readFile(root / "full/1.0/ORV.zip");
    const auto local = zip.find(name), central = zip.rfind(name);
    ASSERT_NE(local, central);
    zip[local - 30 + 8] = method;
    zip[central - 46 + 10] = method;
    writeFile(root / "full/1.0/ORV.zip", zip);
    refreshFullIni(root);
}

void strayEntries(const fs::path& root) {
    testdata::ZipWriter zip(root / "full/1.0/ORV.zip");
    // With a "/" in it, no reader takes the "\\" for a folder break.
    for (const char* name : {"Astrovance/Data\\stray.dat", "readme.txt"}) {
        zip.beginFile(name, 1, false);
        zip.write("x");
    }
    zip.close();
    refreshFullIni(root);
}

const BreakageRow breakageRows[] = {
    {"NoVersionFile", [](auto& r) { fs::remove(r / "version.ini"); }, "error: no version.ini"},
    {"IncFileMissing", [](auto& r) { fs::remove(r / "updates/1.1/Config/patch notes 1.1.txt"); },
     "error: 1.1 inc: Config/patch notes 1.1.txt: missing at"},
    {"IncFileChanged", [](auto& r) { append(r / "updates/1.1/Config/patch notes 1.1.txt", "!"); },
     "error: 1.1 inc: Config/patch notes 1.1.txt: the served file has checksum"},
    {"IncListMissing", [](auto& r) { fs::remove(r / "updates/1.1/hashes.ini"); },
     "error: 1.1 inc: no file list at"},
    {"IncListIsAPage", [](auto& r) { writeFile(r / "updates/1.1/hashes.ini", "<html>x=1</html>"); },
     "is no file list (markup"},
    {"KeyClimbsOut", [](auto& r) { append(r / "updates/1.1/hashes.ini", "../../x.dll = 0\n"); },
     "error: 1.1 inc: ../../x.dll: never installed: the launcher installs only relative paths"},
    {"KeyExcluded", [](auto& r) { append(r / "updates/1.1/hashes.ini", "a/.vs/x = 0\n"); },
     "error: 1.1 inc: a/.vs/x: never installed: the launcher leaves out every file named or below "
     "\".vs\""},
    {"UpperCaseChecksum",
     [](auto& r) { append(r / "updates/1.1/hashes.ini", "Config/patch notes 1.1.txt = 0A\n"); },
     "\"0A\" is not a checksum as the launcher writes it"},
    {"FullIniWrong", [](auto& r) { writeFile(r / "full/1.0/full.ini", "full.zip = 1\n"); },
     "error: 1.0 full: the archive's checksum is"},
    {"FullIniMissing", [](auto& r) { fs::remove(r / "full/1.0/full.ini"); },
     "gives no \"full.zip\" checksum"},
    {"ArchiveMissing", [](auto& r) { fs::remove(r / "full/1.0/ORV.zip"); },
     "error: 1.0 full: the archive is missing at"},
    {"ListedNotPacked", [](auto& r) { append(r / "full/1.0/hashes.ini", "Data/extra.dat = 1\n"); },
     "error: 1.0 full: Data/extra.dat: not in the archive"},
    {"EntryDiffers",
     [](auto& r) { append(r / "full/1.0/hashes.ini", "Config/empty profile.cfg = 1\n"); },
     "error: 1.0 full: Config/empty profile.cfg: the archive holds it with checksum 0, hashes.ini "
     "says 1"},
    {"Bzip2Entry", [](auto& r) { setMethod(r, "Astrovance/EXE/Astrovance.exe", 12); },
     "error: 1.0 full: entry Astrovance/EXE/Astrovance.exe is compressed with bzip"},
    {"Deflate64Entry", [](auto& r) { setMethod(r, "Astrovance/EXE/Astrovance.exe", 9); },
     "compressed with deflation-64-bit"},
    {"BackslashEntry", strayEntries,
     "error: 1.0 full: entry Astrovance/Data\\stray.dat is named with \"\\\": the launcher looks"},
    {"EntryOutsideTheGame", strayEntries,
     "warning: 1.0 full: entry readme.txt lies outside Astrovance/"},
    {"IncBeforeFull",
     [](auto& r) {
         writeFile(r / "version.ini",
                   "[CurrentVersion]\nV = 1.1\n[Updates]\n0.9 = inc, /updates/1.1/hashes.ini\n"
                   "1.0 = full, /full/1.0/ORV.zip\n1.1 = inc, /updates/1.1/hashes.ini\n");
     },
     "warning: version.ini line 4 (0.9 = inc, /updates/1.1/hashes.ini) is dropped by the launcher: "
     "the full "
     "update on line 5 stands after it"},
    {"NothingLeadsToCurrent",
     [](auto& r) { append(r / "version.ini", "[CurrentVersion]\r\nVersion = 1.2\r\n"); },
     "error: no update leads to the current version 1.2 (the last one applied is 1.1)"},
    {"TenAfterNine",
     [](auto& r) {
         writeFile(r / "version.ini",
                   "[CurrentVersion]\nV = 1.10\n[Updates]\n1.0 = full, /full/1.0/ORV.zip\n"
                   "1.9 = inc, /updates/1.1/hashes.ini\n1.10 = inc, /updates/1.1/hashes.ini\n");
     },
     "at 1.9: sorts above the current version 1.10, so it is reset to 0.0.0; applies 1.0 full, "
     "1.10 inc"},
    {"VersionFileChangedAfterSigning", [](auto& r) { append(r / "version.ini", "; x\n"); },
     "error: /version.ini: signature refused: the file does not match its signature"},
    {"ArchiveUnsigned", [](auto& r) { fs::remove(r / "full/1.0/ORV.zip.minisig"); },
     "error: /full/1.0/ORV.zip: signature refused: no signature"},
    {"IncFileChangedAfterSigning",
     [](auto& r) {
         append(r / "updates/1.1/Config/patch notes 1.1.txt", "!");
         writeFile(r / "updates/1.1/hashes.ini", "Config/patch notes 1.1.txt = 0\n");
         signBeside(r / "updates/1.1/hashes.ini", makeSecretKey());
     },
     "error: /updates/1.1/Config/patch%20notes%201.1.txt: does not match its signed strong hash"},
    {"SignedByAnotherKey",
     [](auto& r) { signBeside(r / "updates/1.1/blake2b.ini", makeSecretKey()); },
     "error: /updates/1.1/blake2b.ini: signature refused: signed by another key"},
};

class BreakageTable : public PublishTest, public testing::WithParamInterface<BreakageRow> {};

TEST_P(BreakageTable, CheckFindsIt) {
    publishBoth();
    GetParam().breakIt(serverFolder);
    int errors = -1;
    const std::string report = check(serverFolder, errors);
    EXPECT_NE(report.find(GetParam().finding), std::string::npos) << report;
    if (std::string_view(GetParam().finding).starts_with("error: ")) {
        EXPECT_GT(errors, 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, BreakageTable, testing::ValuesIn(breakageRows),
                         [](const auto& row) { return std::string(row.param.name); });

}  // namespace
