// Whole patch runs against the in-process download server serving a generated server folder.
#include <gtest/gtest.h>

#include <algorithm>

#include "testdata/make_install.h"
#include "tests/patch/patch_fixture.h"

namespace {

class PatchRunEndToEndTest : public PatchTest {
protected:
    testdata::MadeInstall made;

    void run(testdata::Scenario scenario, bool blanksInNames) {
        made = testdata::makeInstall({.installDir = root,
                                      .serverDir = serverFolder,
                                      .seed = 7,
                                      .files = 20,
                                      .sizeMb = 1.5,
                                      .scenario = scenario,
                                      .blanksInNames = blanksInNames});
        server.serveFolder("", serverFolder);
        if (!made.installedVersion.empty()) setClientVersion(made.installedVersion);
        patchThreadFrom(server.url());
        expectCurrentInstallation();
    }
    // Every file of the current version is in place with its checksum; the removed ones are gone;
    // the run ended well and recorded the current version.
    void expectCurrentInstallation() const {
        for (const auto& file : made.currentFiles)
            EXPECT_EQ(formatChecksum(hashFile(gameFile(file.path).string())), file.checksum)
                << file.path;
        for (const auto& path : made.removedFiles) EXPECT_FALSE(fs::exists(gameFile(path))) << path;
        EXPECT_EQ(clientVersion(), made.incVersion);
        EXPECT_EQ(PatchProgress.phase, Complete);
        EXPECT_TRUE(logged("Patch run failed: ").empty());
    }
};

TEST_F(PatchRunEndToEndTest, InstallationOneIncBehindGetsOnlyTheChangedFilesAndARepairAll) {
    run(testdata::Scenario::BehindOneInc, false);
    EXPECT_EQ(server.requests(made.fullPath), 0) << "the kept archive matches";
    for (const auto& file : made.currentFiles) {
        const bool brought = std::ranges::count(made.incFiles, file.path) > 0;
        EXPECT_EQ(server.requests("/updates/1.1/" + file.path), brought ? 1 : 0) << file.path;
    }
    // What the page's repair does: version back to nothing, executable folder gone.
    setClientVersion("0.0.0");
    fs::remove_all(gameFile("EXE"));
    resetProgress();
    patchThreadFrom(server.url());
    expectCurrentInstallation();
}

// Last, because a transfer that fails for good ends the process. Game files and folders have
// blanks in their names ("Voice Over", "Intro Part 011.bik"); the server's keys carry them as they
// are, and a URL may not.
TEST_F(PatchRunEndToEndTest, FreshInstallationComesFromTheFullArchiveAndTheIncUpdate) {
    run(testdata::Scenario::FreshFull, true);
    EXPECT_EQ(server.requests(made.fullPath), 1);
    EXPECT_EQ(formatChecksum(hashFile((root / "ORV.zip").string())), made.archiveChecksum)
        << "the archive stays for later runs";
}

}  // namespace
