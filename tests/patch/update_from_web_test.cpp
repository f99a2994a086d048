#include <gtest/gtest.h>

#include <set>

#include "patch/update_from_web.h"
#include "patch/updates.h"
#include "tests/patch/patch_fixture.h"

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
    // Serves `content` as the file of `key` in update `folder`; gives the key's manifest line.
    std::string offer(const std::string& folder, const std::string& key,
                      const std::string& content) {
        std::string path = key;
        std::replace(path.begin(), path.end(), '\\', '/');
        serve(folder + "/" + path, content);
        return key + " = " + checksumText(content) + "\n";
    }
};

TEST_F(WebUpdateTest, DownloadsExactlyTheMissingAndDifferingFilesWhateverTheirNames) {
    install("same.txt", "unchanged");
    install("old.txt", "old content");
    install("Release/build.log", "a build product");
    scan();
    install("unscanned.txt", "stale");  // on disk without a scan record: taken as current

    // Blanks, "%", "#", "?" and non-ASCII bytes must reach the server encoded.
    const std::string umlaut = "\xC3\x9C" "berblick.txt";
#ifdef _WIN32
    const std::string odd = "100% #1;.txt";  // Windows allows no "?" in a name
#else
    const std::string odd = "100% #1?.txt";
#endif
    serve("1/files.ini", offer("1", "same.txt", "unchanged") +
                             offer("1", "old.txt", "new content") +
                             offer("1", "unscanned.txt", "fresh") +
                             offer("1", "sub/new.txt", "a new file") +
                             offer("1", "data\\deep\\file.bin", "written for Windows") +
                             offer("1", "Sound\\Voice Over\\briefing 1.ogg", "voice") +
                             offer("1", odd, "odd") + offer("1", umlaut, "umlaut") +
                             "Launcher.exe = 1234\nRelease/build.log = 5678\n");
    serve("1/Launcher.exe", "never fetched");
    serve("1/Release/build.log", "never fetched either");
    const int excludedBefore = excludedCount;

    update("1/files.ini");

    for (const char* unfetched : {"same.txt", "unscanned.txt", "Launcher.exe", "Release/build.log"})
        EXPECT_EQ(server.requests(std::string("/u/1/") + unfetched), 0) << unfetched;
    // Requested once each with "/" and stored below the game folder, not as names holding "\".
    const std::pair<std::string, std::string> fetched[] = {
        {"old.txt", "new content"}, {"sub/new.txt", "a new file"},
        {"data/deep/file.bin", "written for Windows"},
        {"Sound/Voice Over/briefing 1.ogg", "voice"}, {odd, "odd"}, {umlaut, "umlaut"}};
    for (const auto& [path, content] : fetched) {
        EXPECT_EQ(server.requests("/u/1/" + path), 1) << path;
        EXPECT_EQ(readFile(gameFile(path)), content) << path;
    }
    EXPECT_EQ(readFile(gameFile("unscanned.txt")), "stale");
    EXPECT_EQ(excludedCount - excludedBefore, 2);
    EXPECT_EQ(filesBelow(root / "Astrovance"),
              (std::vector<std::string>{odd, "Release/build.log", "Sound/Voice Over/briefing 1.ogg",
                                        "data/deep/file.bin", "old.txt", "same.txt", "sub/new.txt",
                                        "unscanned.txt", umlaut}));
    EXPECT_TRUE(logHas("Total number of data to be processed: 10"));
    EXPECT_EQ(logged("Download complete and file saved.").size(), 6u);
    EXPECT_TRUE(logged("Failed to download file.").empty());
    EXPECT_EQ(PatchProgress.overallProgress, 100);
    // The files share the connections kept open for the update, a few at a time.
    std::set<int> connections;
    for (const auto& [path, content] : fetched)
        for (const int port : server.connectionsOf("/u/1/" + path)) connections.insert(port);
    EXPECT_LE(connections.size(), 4u);
    // Each file's lines stay together, though the downloads run side by side: every file's
    // outcome comes before the next file's first line.
    std::string open;
    for (const auto& line : logMessages()) {
        if (line.starts_with("Patched: ")) {
            EXPECT_EQ(open, "") << "lines of " << open << " and " << line << " mixed";
            open = line;
        } else if (line == "Download complete and file saved.") {
            open.clear();
        }
    }

    // Once scanned, the file without a record differs from its record and is the only fetch.
    scan();
    update("1/files.ini");
    EXPECT_EQ(fileRequests("/u/1/files.ini"), 7);
    EXPECT_EQ(server.requests("/u/1/files.ini"), 2);
    EXPECT_EQ(readFile(gameFile("unscanned.txt")), "fresh");
}

TEST_F(WebUpdateTest, UnsafeManifestKeysAreSkippedAndNothingLandsOutside) {
    const std::vector<std::string> unsafe = {"../x",     "..\\y",  "/abs",   "C:\\x",
                                             "a/../../x", "\\rooted", ".. \\z", "...\\z"};
    std::string manifest = offer("5", "safe.txt", "safe");
    for (const auto& key : unsafe) manifest += key + " = 1\n";
    server.script("/u/5/files.ini", {answer(200, manifest)});
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

TEST_F(WebUpdateTest, FailuresAreLoggedAndTheRestIsStillDone) {
    // A file where the update needs a folder: making the folder throws.
    install("blocker", "a file, not a folder");
    serve("6/files.ini", "blocker/sub/x.txt = 1\n" + offer("6", "ok.txt", "fine") +
                             offer("6", "flaky.txt", "at last"));
    server.script("/u/6/flaky.txt", {answer(500), answer(200, "at last")});

    EXPECT_FALSE(updateFilesFromWeb(server.url("/u/6/files.ini"), installationRoot));

    EXPECT_EQ(logged("Error updating file blocker/sub/x.txt: ").size(), 1u);
    EXPECT_EQ(readFile(gameFile("blocker")), "a file, not a folder");
    EXPECT_EQ(readFile(gameFile("ok.txt")), "fine");
    EXPECT_EQ(readFile(gameFile("flaky.txt")), "at last");
    EXPECT_TRUE(logHas("Total number of data to be processed: 3"));
    EXPECT_TRUE(logHas("Update incomplete: 1 file(s) could not be brought up to date"));
    // The attempt after a failure does not trust the connection the failure came on.
    const auto flaky = server.connectionsOf("/u/6/flaky.txt");
    ASSERT_EQ(flaky.size(), 2u);
    EXPECT_NE(flaky[0], flaky[1]);

    // A manifest that cannot be fetched leaves no work, and the progress full.
    PatchProgress.overallProgress = 0;
    server.script("/u/4/files.ini", {answer(404)});
    update("4/files.ini");
    EXPECT_EQ(server.requests("/u/4/files.ini"), 3);
    EXPECT_TRUE(logHas("Total number of data to be processed: 0"));
    EXPECT_EQ(PatchProgress.overallProgress, 100);
}

TEST(ScanIndex, FindsTheFirstRecordOfAPathWhateverItsSeparators) {
    const std::vector<ScannedFile> files = {
        {"a.txt", 1, "Astrovance\\sub\\a.txt"},
        {"a.txt", 2, "Astrovance/sub/a.txt"},
        {"B.txt", 3, "Astrovance/B.txt"},
        {"c", 4, "Astrovance/c/"},
    };
    const ScanIndex index = indexScannedFiles(files);
    // Letters are compared exactly, a trailing separator makes another path, "." stays a name.
    const std::pair<const char*, std::uint32_t> lookups[] = {
        {"Astrovance/sub//a.txt", 1}, {"Astrovance\\sub/a.txt", 1}, {"Astrovance/b.txt", 0},
        {"Astrovance/B.txt", 3},      {"Astrovance/c", 0},           {"Astrovance/c\\", 4},
        {"Astrovance/./B.txt", 0}};
    for (const auto& [path, checksum] : lookups) {
        const auto found = index.find(pathKey(path));
        EXPECT_EQ(found == index.end() ? 0u : found->second->checksum, checksum) << path;
    }
}

TEST(UpdateFolder, IsTheUrlUpToItsLastSlashOrTheWholeUrl) {
    EXPECT_EQ(updateFolder("http://host/a/b/files.ini"), "http://host/a/b");
    EXPECT_EQ(updateFolder("files.ini"), "files.ini");
    EXPECT_GE(updateWorkerCount(), 1u);
}

}  // namespace
