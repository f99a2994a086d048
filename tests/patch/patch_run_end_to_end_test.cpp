// Whole patch runs against the in-process download server serving a generated server folder.
#include <gtest/gtest.h>

#include "testdata/make_install.h"
#include "tests/patch/patch_fixture.h"

namespace {

class PatchRunEndToEndTest : public PatchTest {
protected:
    testdata::MadeInstall made;

    void make(testdata::Scenario scenario, bool blanksInNames) {
        testdata::InstallOptions options;
        options.blanksInNames = blanksInNames;
        options.installDir = root;
        options.serverDir = serverFolder;
        options.seed = 7;
        options.files = 20;
        options.sizeMb = 1.5;
        options.scenario = scenario;
        made = testdata::makeInstall(options);
        server.serveFolder("", serverFolder);
        if (!made.installedVersion.empty()) setClientVersion(made.installedVersion);
    }

    // Every file of the current version is in place with its checksum; the removed ones are gone;
    // the run ended well and recorded the current version.
    void expectCurrentInstallation() const {
        for (const auto& file : made.currentFiles) {
            const fs::path path = gameFile(file.path);
            ASSERT_TRUE(fs::exists(path)) << file.path;
            EXPECT_EQ(formatChecksum(hashFile(path.string())), file.checksum) << file.path;
        }
        for (const auto& path : made.removedFiles) EXPECT_FALSE(fs::exists(gameFile(path))) << path;
        EXPECT_EQ(clientVersion(), made.incVersion);
        EXPECT_EQ(PatchProgress.phase, Complete);
        EXPECT_FALSE(patchRunning);
        EXPECT_TRUE(logged("Patch run failed: ").empty());
    }
};

TEST_F(PatchRunEndToEndTest, InstallationOneIncBehindGetsOnlyTheChangedFiles) {
    make(testdata::Scenario::BehindOneInc, false);
    patchThreadFrom(server.url());

    expectCurrentInstallation();
    EXPECT_EQ(PatchProgress.overallProgress, 100);
    EXPECT_EQ(PatchProgress.step, 2);
    EXPECT_EQ(PatchProgress.stepCount, 2);
    EXPECT_EQ(server.requests(made.fullPath), 0) << "the kept archive matches";
    EXPECT_FALSE(logged("ZIP hash matches, download successful.").empty());
    for (const auto& path : made.incFiles)
        EXPECT_EQ(server.requests("/updates/1.1/" + path), 1) << path;
    for (const auto& file : made.fullFiles) {
        if (std::find(made.incFiles.begin(), made.incFiles.end(), file.path) == made.incFiles.end()) {
            EXPECT_EQ(server.requests("/updates/1.1/" + file.path), 0) << file.path;
        }
    }

    // The next run finds the installation current and asks only for the version file.
    const auto before = server.requestLog().size();
    resetProgress();
    patchThreadFrom(server.url());
    EXPECT_EQ(server.requestLog().size(), before + 1);
    EXPECT_EQ(PatchProgress.overallProgress, 100);
    EXPECT_EQ(PatchProgress.fileProgress, 100);

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
    make(testdata::Scenario::FreshFull, true);
    ASSERT_FALSE(fs::exists(root / "Astrovance"));
    patchThreadFrom(server.url());

    expectCurrentInstallation();
    EXPECT_EQ(server.requests(made.fullPath), 1);
    EXPECT_EQ(formatChecksum(hashFile((root / "ORV.zip").string())), made.archiveChecksum)
        << "the archive stays for later runs";
}

}  // namespace
