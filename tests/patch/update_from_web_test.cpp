#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "core/patch_progress.h"
#include "integrity/exclusions.h"
#include "patch/update_from_web.h"
#include "patch/updates.h"
#include "tests/patch/update_test_support.h"
#include "tests/support/links.h"

namespace fs = std::filesystem;

namespace {

using WebUpdateTest = UpdateTest;

TEST_F(WebUpdateTest, DownloadsExactlyTheMissingAndDifferingFiles) {
    install("same.txt", "unchanged");
    install("old.txt", "old content");
    install("Release/build.log", "a build product");
    scan();

    serve("1/same.txt", "unchanged");
    serve("1/old.txt", "new content");
    serve("1/sub/new.txt", "a new file");
    serve("1/data/deep/file.bin", "written for Windows");
    serve("1/Launcher.exe", "never fetched");
    serve("1/Release/build.log", "never fetched either");
    serve("1/files.ini", "same.txt = " + checksumText("unchanged") + "\n" +
                             "old.txt = " + checksumText("new content") + "\n" +
                             "sub/new.txt = " + checksumText("a new file") + "\n" +
                             "data\\deep\\file.bin = " + checksumText("written for Windows") +
                             "\n" + "Launcher.exe = 1234\n" + "Release/build.log = 5678\n");
    const int excludedBefore = excludedCount;

    updateFilesFromWeb(updateUrl("1/files.ini"), installationRoot);

    EXPECT_EQ(server.requests("/u/1/same.txt"), 0);
    EXPECT_EQ(server.requests("/u/1/old.txt"), 1);
    EXPECT_EQ(server.requests("/u/1/sub/new.txt"), 1);
    // Requested with "/" and stored below the game folder, not as one name holding "\".
    EXPECT_EQ(server.requests("/u/1/data/deep/file.bin"), 1);
    EXPECT_EQ(server.requests("/u/1/Launcher.exe"), 0);
    EXPECT_EQ(server.requests("/u/1/Release/build.log"), 0);
    EXPECT_EQ(excludedCount - excludedBefore, 2);

    EXPECT_EQ(readFile(gameFile("old.txt")), "new content");
    EXPECT_EQ(readFile(gameFile("sub/new.txt")), "a new file");
    EXPECT_EQ(readFile(gameFile("data/deep/file.bin")), "written for Windows");
    EXPECT_EQ(readFile(gameFile("Release/build.log")), "a build product");
    EXPECT_FALSE(fs::exists(gameFile("Launcher.exe")));
    EXPECT_EQ(filesBelow(root / "Astrovance"),
              (std::vector<std::string>{"Release/build.log", "data/deep/file.bin", "old.txt",
                                        "same.txt", "sub/new.txt"}));

    const auto log = logMessages();
    EXPECT_TRUE(hasLine(log, "Total number of data to be processed: 6"));
    EXPECT_EQ(linesStarting(log, "Download complete and file saved.").size(), 3u);
    EXPECT_EQ(PatchProgress.overallProgress, 100);
}

TEST_F(WebUpdateTest, SecondRunOverAnIntactInstallationTransfersNothing) {
    serve("2/a.txt", "alpha");
    serve("2/b/c.txt", "gamma");
    serve("2/files.ini",
          "a.txt = " + checksumText("alpha") + "\nb\\c.txt = " + checksumText("gamma") + "\n");
    scan();
    updateFilesFromWeb(updateUrl("2/files.ini"), installationRoot);
    ASSERT_EQ(fileRequests({"/u/2/files.ini"}), 2);

    scan();
    updateFilesFromWeb(updateUrl("2/files.ini"), installationRoot);
    EXPECT_EQ(fileRequests({"/u/2/files.ini"}), 2);
    EXPECT_EQ(server.requests("/u/2/files.ini"), 2);
    EXPECT_EQ(readFile(gameFile("b/c.txt")), "gamma");
}

TEST_F(WebUpdateTest, NamesWithBlanksAndOtherUrlCharactersAreFetched) {
    const std::string umlaut =
        "\xC3\x9C"
        "berblick.txt";
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

    updateFilesFromWeb(updateUrl("7/files.ini"), installationRoot);

    EXPECT_EQ(server.requests("/u/7/Sound/Voice Over/briefing 1.ogg"), 1);
    EXPECT_EQ(readFile(gameFile("Sound/Voice Over/briefing 1.ogg")), "voice");
    EXPECT_EQ(readFile(gameFile(odd)), "odd");
    EXPECT_EQ(readFile(gameFile(umlaut)), "umlaut");
    EXPECT_TRUE(linesStarting(logMessages(), "Failed to download file.").empty());
}

TEST_F(WebUpdateTest, FileOnDiskWithoutScanRecordIsLeftAloneAndMissingOneFetched) {
    // No scan: every file that exists is taken as current.
    install("present.txt", "stale");
    serve("3/present.txt", "fresh");
    serve("3/absent.txt", "fetched");
    serve("3/files.ini", "present.txt = " + checksumText("fresh") +
                             "\nabsent.txt = " + checksumText("fetched") + "\n");

    updateFilesFromWeb(updateUrl("3/files.ini"), installationRoot);

    EXPECT_EQ(readFile(gameFile("present.txt")), "stale");
    EXPECT_EQ(readFile(gameFile("absent.txt")), "fetched");
    EXPECT_EQ(server.requests("/u/3/present.txt"), 0);
}

TEST_F(WebUpdateTest, ManifestNotFetchedGivesNoWorkAndFullProgress) {
    server.script("/u/4/files.ini", {answer(404)});
    updateFilesFromWeb(updateUrl("4/files.ini"), installationRoot);

    EXPECT_EQ(server.requests("/u/4/files.ini"), 3);
    EXPECT_TRUE(hasLine(logMessages(), "Total number of data to be processed: 0"));
    EXPECT_EQ(PatchProgress.overallProgress, 100);
}

TEST_F(WebUpdateTest, UnsafeManifestKeysAreSkippedAndNothingLandsOutside) {
    server.script("/u/5/files.ini",
                  {answer(200,
                          "../x = 1\n..\\y = 1\n/abs = 1\nC:\\x = 1\na/../../x = 1\n"
                          "\\rooted = 1\n.. \\z = 1\n...\\z = 1\nsafe.txt = " +
                              checksumText("safe") + "\n")});
    serve("5/safe.txt", "safe");
    // Answers for wherever the unsafe keys would lead, so that a fault shows as a file written,
    // not as a download failing for good (which ends the process).
    for (const char* target : {"/u/x", "/u/y", "/u/5//abs", "/u/5/C:/x", "/u/5//rooted", "/abs",
                               "/rooted", "/u/5/.. /z", "/u/5/.../z"})
        server.script(target, {answer(200, "escaped")});
    const auto outsideBefore = filesBelow(dir.path());

    updateFilesFromWeb(updateUrl("5/files.ini"), installationRoot);

    const auto log = logMessages();
    for (const char* key :
         {"../x", "..\\y", "/abs", "C:\\x", "a/../../x", "\\rooted", ".. \\z", "...\\z"})
        EXPECT_TRUE(hasLine(log, std::string("Unsafe path in manifest skipped: ") + key)) << key;
    EXPECT_EQ(fileRequests({"/u/5/files.ini"}), 1);
    EXPECT_EQ(server.requests("/u/5/safe.txt"), 1);

    auto outsideAfter = filesBelow(dir.path());
    std::erase_if(outsideAfter, [](const std::string& file) {
        return file.rfind("Documents/", 0) == 0;  // the user folder's log and manifest
    });
    std::erase_if(outsideAfter, [](const std::string& file) {
        return file == "outer/install/Astrovance/safe.txt";
    });
    auto expected = outsideBefore;
    std::erase_if(expected,
                  [](const std::string& file) { return file.rfind("Documents/", 0) == 0; });
    EXPECT_EQ(outsideAfter, expected);
    EXPECT_FALSE(fs::exists("/abs"));
}

TEST_F(WebUpdateTest, KeyLeadingThroughALinkedFolderIsSkipped) {
    SKIP_WITHOUT_SYMBOLIC_LINKS();
    fs::create_directories(dir.path() / "elsewhere");
    fs::create_directories(root / "Astrovance");
    ASSERT_TRUE(makeFolderLink(dir.path() / "elsewhere", root / "Astrovance" / "link"));
    server.script("/u/8/files.ini", {answer(200, "link/evil = 1\n")});
    server.script("/u/8/link/evil", {answer(200, "escaped")});

    updateFilesFromWeb(updateUrl("8/files.ini"), installationRoot);

    EXPECT_TRUE(hasLine(logMessages(), "Unsafe path in manifest skipped: link/evil"));
    EXPECT_EQ(server.requests("/u/8/link/evil"), 0);
    EXPECT_TRUE(fs::is_empty(dir.path() / "elsewhere"));
}

TEST_F(WebUpdateTest, AFailingFileIsLoggedAndTheOthersAreStillDone) {
    // A file where the update needs a folder: making the folder throws.
    install("blocker", "a file, not a folder");
    serve("6/ok.txt", "fine");
    server.script("/u/6/files.ini",
                  {answer(200, "blocker/sub/x.txt = 1\nok.txt = " + checksumText("fine") + "\n")});

    updateFilesFromWeb(updateUrl("6/files.ini"), installationRoot);

    const auto log = logMessages();
    EXPECT_EQ(linesStarting(log, "Error updating file blocker/sub/x.txt: ").size(), 1u);
    EXPECT_EQ(readFile(gameFile("blocker")), "a file, not a folder");
    EXPECT_EQ(readFile(gameFile("ok.txt")), "fine");
    EXPECT_TRUE(hasLine(log, "Total number of data to be processed: 2"));
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
