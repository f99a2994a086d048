// Whole patch runs against the in-process download server serving a generated server folder.
#include <gtest/gtest.h>

#include "integrity/checksum.h"
#include "patch/patch_thread.h"
#include "testdata/make_install.h"
#include "tests/patch/patch_fixture.h"

namespace fs = std::filesystem;

namespace {

class PatchRunEndToEndTest : public PatchTest {
protected:
    fs::path serverFolder = dir.path() / "Server";
    testdata::MadeInstall made;

    void make(testdata::Scenario scenario, bool blanksInNames = false) {
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

    void run() {
        const WorkingFolder inRoot(root);
        patchThreadFrom(server.url());
    }

    // Every file of the current version is in place with its checksum; the removed ones are gone.
    void expectCurrentInstallation() const {
        for (const auto& file : made.currentFiles) {
            const fs::path path = root / "Astrovance" / file.path;
            ASSERT_TRUE(fs::exists(path)) << file.path;
            EXPECT_EQ(formatChecksum(hashFile(path.string())), file.checksum) << file.path;
        }
        for (const auto& path : made.removedFiles)
            EXPECT_FALSE(fs::exists(root / "Astrovance" / path)) << path;
    }
};

TEST_F(PatchRunEndToEndTest, InstallationOneIncBehindGetsOnlyTheChangedFiles) {
    make(testdata::Scenario::BehindOneInc);
    run();

    expectCurrentInstallation();
    EXPECT_EQ(clientVersion(), made.incVersion);
    EXPECT_EQ(PatchProgress.phase, Complete);
    EXPECT_EQ(PatchProgress.overallProgress, 100);
    EXPECT_EQ(PatchProgress.step, 2);
    EXPECT_EQ(PatchProgress.stepCount, 2);
    EXPECT_FALSE(patchRunning);

    EXPECT_EQ(server.requests(made.fullPath), 0) << "the kept archive matches";
    for (const auto& path : made.incFiles)
        EXPECT_EQ(server.requests("/updates/1.1/" + path), 1) << path;
    for (const auto& file : made.fullFiles) {
        const bool inInc =
            std::find(made.incFiles.begin(), made.incFiles.end(), file.path) != made.incFiles.end();
        if (!inInc) {
            EXPECT_EQ(server.requests("/updates/1.1/" + file.path), 0) << file.path;
        }
    }
    EXPECT_FALSE(logged("ZIP hash matches, download successful.").empty());
    EXPECT_TRUE(logged("Patch run failed: ").empty());

    // The next run finds the installation current and asks only for the version file.
    const auto before = server.requestLog().size();
    resetProgress();
    run();
    EXPECT_EQ(server.requestLog().size(), before + 1);
    EXPECT_EQ(PatchProgress.overallProgress, 100);
    EXPECT_EQ(PatchProgress.fileProgress, 100);
}

TEST_F(PatchRunEndToEndTest, FreshInstallationComesFromTheFullArchiveAndTheIncUpdate) {
    make(testdata::Scenario::FreshFull);
    ASSERT_FALSE(fs::exists(root / "Astrovance"));
    run();

    expectCurrentInstallation();
    EXPECT_EQ(clientVersion(), made.incVersion);
    EXPECT_EQ(PatchProgress.phase, Complete);
    EXPECT_EQ(server.requests(made.fullPath), 1);
    EXPECT_EQ(formatChecksum(hashFile((root / "ORV.zip").string())), made.archiveChecksum)
        << "the archive stays for later runs";
    EXPECT_TRUE(logged("Patch run failed: ").empty());
}

TEST_F(PatchRunEndToEndTest, RepairedInstallationIsRebuilt) {
    make(testdata::Scenario::BehindOneInc);
    run();
    ASSERT_EQ(clientVersion(), made.incVersion);

    // What the page's repair does: version back to nothing, executable folder gone.
    setClientVersion("0.0.0");
    fs::remove_all(root / "Astrovance" / "EXE");
    resetProgress();
    run();

    expectCurrentInstallation();
    EXPECT_EQ(clientVersion(), made.incVersion);
}

// Last, because a transfer that fails for good ends the process. Game files and folders have
// blanks in their names ("Voice Over", "Intro Part 011.bik"); the server's keys carry them as they
// are, and a URL may not.
TEST_F(PatchRunEndToEndTest, FileNamesWithBlanksAreFetched) {
    make(testdata::Scenario::FreshFull, true);
    run();
    expectCurrentInstallation();
    EXPECT_EQ(clientVersion(), made.incVersion);
}

}  // namespace
