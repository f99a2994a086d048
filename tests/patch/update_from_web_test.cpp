#include <gtest/gtest.h>

#include "patch/update_from_web.h"
#include "patch/updates.h"
#include "tests/patch/patch_fixture.h"
#include "tests/support/links.h"

namespace {

class WebUpdateTest : public PatchTest {
protected:
    void update(const std::string& manifest) {
        updateFilesFromWeb(server.url("/u/" + manifest), installationRoot);
    }
    // Requests other than those for `manifest`.
    int fileRequests(const std::string& manifest) const {
        return static_cast<int>(server.requestLog().size()) - server.requests(manifest);
    }
};

TEST_F(WebUpdateTest, DownloadsExactlyTheMissingAndDifferingFiles) {
    install("same.txt", "unchanged");
    install("old.txt", "old content");
    install("Release/build.log", "a build product");
    scan();
    install("unscanned.txt", "stale");  // on disk without a scan record: taken as current

    serve("1/same.txt", "unchanged");
    serve("1/old.txt", "new content");
    serve("1/unscanned.txt", "fresh");
    serve("1/sub/new.txt", "a new file");
    serve("1/data/deep/file.bin", "written for Windows");
    serve("1/Launcher.exe", "never fetched");
    serve("1/Release/build.log", "never fetched either");
    serve("1/files.ini", "same.txt = " + checksumText("unchanged") +
                             "\nold.txt = " + checksumText("new content") +
                             "\nunscanned.txt = " + checksumText("fresh") +
                             "\nsub/new.txt = " + checksumText("a new file") +
                             "\ndata\\deep\\file.bin = " + checksumText("written for Windows") +
                             "\nLauncher.exe = 1234\nRelease/build.log = 5678\n");
    const int excludedBefore = excludedCount;

    update("1/files.ini");

    for (const char* unfetched : {"same.txt", "unscanned.txt", "Launcher.exe", "Release/build.log"})
        EXPECT_EQ(server.requests(std::string("/u/1/") + unfetched), 0) << unfetched;
    EXPECT_EQ(server.requests("/u/1/old.txt"), 1);
    EXPECT_EQ(server.requests("/u/1/sub/new.txt"), 1);
    // Requested with "/" and stored below the game folder, not as one name holding "\".
    EXPECT_EQ(server.requests("/u/1/data/deep/file.bin"), 1);
    EXPECT_EQ(excludedCount - excludedBefore, 2);

    EXPECT_EQ(readFile(gameFile("old.txt")), "new content");
    EXPECT_EQ(readFile(gameFile("unscanned.txt")), "stale");
    EXPECT_EQ(readFile(gameFile("sub/new.txt")), "a new file");
    EXPECT_EQ(readFile(gameFile("data/deep/file.bin")), "written for Windows");
    EXPECT_EQ(readFile(gameFile("Release/build.log")), "a build product");
    EXPECT_EQ(filesBelow(root / "Astrovance"),
              (std::vector<std::string>{"Release/build.log", "data/deep/file.bin", "old.txt",
                                        "same.txt", "sub/new.txt", "unscanned.txt"}));
    EXPECT_TRUE(logHas("Total number of data to be processed: 7"));
    EXPECT_EQ(logged("Download complete and file saved.").size(), 3u);
    EXPECT_EQ(PatchProgress.overallProgress, 100);

    // Once scanned, the file without a record differs from its record and is the only fetch.
    scan();
    update("1/files.ini");
    EXPECT_EQ(fileRequests("/u/1/files.ini"), 4);
    EXPECT_EQ(server.requests("/u/1/files.ini"), 2);
    EXPECT_EQ(readFile(gameFile("unscanned.txt")), "fresh");
}

TEST_F(WebUpdateTest, NamesWithBlanksAndOtherUrlCharactersAreFetched) {
    const std::string umlaut = "\xC3\x9C" "berblick.txt";
#ifdef _WIN32
    const std::string odd = "100% #1;.txt";  // Windows allows no "?" in a name
#else
    const std::string odd = "100% #1?.txt";
#endif
    serve("7/Sound/Voice Over/briefing 1.ogg", "voice");
    serve("7/" + odd, "odd");
    serve("7/" + umlaut, "umlaut");
    serve("7/files.ini", "Sound\\Voice Over\\briefing 1.ogg = " + checksumText("voice") + "\n" +
                             odd + " = " + checksumText("odd") + "\n" + umlaut + " = " +
                             checksumText("umlaut") + "\n");

    update("7/files.ini");

    EXPECT_EQ(server.requests("/u/7/Sound/Voice Over/briefing 1.ogg"), 1);
    EXPECT_EQ(readFile(gameFile("Sound/Voice Over/briefing 1.ogg")), "voice");
    EXPECT_EQ(readFile(gameFile(odd)), "odd");
    EXPECT_EQ(readFile(gameFile(umlaut)), "umlaut");
    EXPECT_TRUE(logged("Failed to download file.").empty());
}

TEST_F(WebUpdateTest, ManifestNotFetchedGivesNoWorkAndFullProgress) {
    server.script("/u/4/files.ini", {answer(404)});
    update("4/files.ini");
    EXPECT_EQ(server.requests("/u/4/files.ini"), 3);
    EXPECT_TRUE(logHas("Total number of data to be processed: 0"));
    EXPECT_EQ(PatchProgress.overallProgress, 100);
}

TEST_F(WebUpdateTest, UnsafeManifestKeysAreSkippedAndNothingLandsOutside) {
    const std::vector<std::string> unsafe = {"../x",     "..\\y",  "/abs",   "C:\\x",
                                             "a/../../x", "\\rooted", ".. \\z", "...\\z"};
    std::string manifest = "safe.txt = " + checksumText("safe") + "\n";
    for (const auto& key : unsafe) manifest += key + " = 1\n";
    server.script("/u/5/files.ini", {answer(200, manifest)});
    serve("5/safe.txt", "safe");
    // Answers for wherever the unsafe keys would lead, so that a fault shows as a file written,
    // not as a download failing for good (which ends the process).
    for (const char* target : {"/u/x", "/u/y", "/u/5//abs", "/u/5/C:/x", "/u/5//rooted", "/abs",
                               "/rooted", "/u/5/.. /z", "/u/5/.../z"})
        server.script(target, {answer(200, "escaped")});

    update("5/files.ini");

    for (const auto& key : unsafe)
        EXPECT_TRUE(logHas("Unsafe path in manifest skipped: " + key)) << key;
    EXPECT_EQ(fileRequests("/u/5/files.ini"), 1);
    EXPECT_EQ(server.requests("/u/5/safe.txt"), 1);
    auto written = filesBelow(dir.path());
    std::erase_if(written, [](const std::string& file) { return file.rfind("Documents/", 0) == 0; });
    EXPECT_EQ(written, (std::vector<std::string>{"outer/install/Astrovance/safe.txt",
                                                 "server/5/safe.txt"}));
    EXPECT_FALSE(fs::exists("/abs"));
}

TEST_F(WebUpdateTest, KeyLeadingThroughALinkedFolderIsSkipped) {
    SKIP_WITHOUT_SYMBOLIC_LINKS();
    const fs::path elsewhere = made(dir.path() / "elsewhere");
    ASSERT_TRUE(makeFolderLink(elsewhere, made(root / "Astrovance") / "link"));
    server.script("/u/8/files.ini", {answer(200, "link/evil = 1\n")});
    server.script("/u/8/link/evil", {answer(200, "escaped")});

    update("8/files.ini");

    EXPECT_TRUE(logHas("Unsafe path in manifest skipped: link/evil"));
    EXPECT_EQ(server.requests("/u/8/link/evil"), 0);
    EXPECT_TRUE(fs::is_empty(elsewhere));
}

TEST_F(WebUpdateTest, AFailingFileIsLoggedAndTheOthersAreStillDone) {
    // A file where the update needs a folder: making the folder throws.
    install("blocker", "a file, not a folder");
    serve("6/ok.txt", "fine");
    server.script("/u/6/files.ini",
                  {answer(200, "blocker/sub/x.txt = 1\nok.txt = " + checksumText("fine") + "\n")});

    update("6/files.ini");

    EXPECT_EQ(logged("Error updating file blocker/sub/x.txt: ").size(), 1u);
    EXPECT_EQ(readFile(gameFile("blocker")), "a file, not a folder");
    EXPECT_EQ(readFile(gameFile("ok.txt")), "fine");
    EXPECT_TRUE(logHas("Total number of data to be processed: 2"));
}

TEST(ScanIndex, FindsTheFirstRecordOfAPathWhateverItsSeparators) {
    const std::vector<ScannedFile> files = {
        {"a.txt", 1, "Astrovance\\sub\\a.txt"},
        {"a.txt", 2, "Astrovance/sub/a.txt"},
        {"B.txt", 3, "Astrovance/B.txt"},
        {"c", 4, "Astrovance/c/"},
    };
    const ScanIndex index = indexScannedFiles(files);
    const auto lookup = [&](const std::string& path) -> std::uint32_t {
        const auto found = index.find(pathKey(path));
        return found == index.end() ? 0 : found->second->checksum;
    };
    EXPECT_EQ(lookup("Astrovance/sub//a.txt"), 1u);
    EXPECT_EQ(lookup("Astrovance\\sub/a.txt"), 1u);
    EXPECT_EQ(lookup("Astrovance/b.txt"), 0u);  // letters compared exactly
    EXPECT_EQ(lookup("Astrovance/B.txt"), 3u);
    EXPECT_EQ(lookup("Astrovance/c"), 0u);  // a trailing separator is a different path
    EXPECT_EQ(lookup("Astrovance/c\\"), 4u);
    EXPECT_EQ(lookup("Astrovance/./B.txt"), 0u);
}

TEST(UpdateFolder, IsTheUrlUpToItsLastSlashOrTheWholeUrl) {
    EXPECT_EQ(updateFolder("http://host/a/b/files.ini"), "http://host/a/b");
    EXPECT_EQ(updateFolder("files.ini"), "files.ini");
    EXPECT_GE(updateWorkerCount(), 1u);
}

}  // namespace
