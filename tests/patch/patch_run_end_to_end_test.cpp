// A whole patch run against the in-process download server serving a generated server folder.
#include <gtest/gtest.h>

#include "testdata/make_install.h"
#include "tests/patch/patch_fixture.h"

namespace {

// A fresh installation comes from the full archive and the inc update; what the page's repair does
// (version back to nothing, executable folder gone) then brings it back without fetching the kept
// archive again. Game files and folders have blanks in their names ("Voice Over").
TEST_F(PatchTest, FreshInstallationAndARepairComeOutCurrent) {
    const auto made = testdata::makeInstall({.installDir = root,
                                             .serverDir = serverFolder,
                                             .seed = 7,
                                             .files = 20,
                                             .sizeMb = 1.5,
                                             .scenario = testdata::Scenario::FreshFull,
                                             .blanksInNames = true});
    server.serveFolder("", serverFolder);
    for (const bool repair : {false, true}) {
        if (repair) {
            setClientVersion("0.0.0");
            fs::remove_all(gameFile("EXE"));
            resetProgress();
        }
        patchThreadFrom(server.url());
        for (const auto& file : made.currentFiles)
            EXPECT_EQ(formatChecksum(hashFile(gameFile(file.path).string())), file.checksum)
                << file.path;
        for (const auto& path : made.removedFiles) EXPECT_FALSE(fs::exists(gameFile(path))) << path;
        EXPECT_EQ(clientVersion(), made.incVersion);
        EXPECT_EQ(PatchProgress.phase, Complete);
        EXPECT_TRUE(logged("Patch run failed: ").empty());
    }
    EXPECT_EQ(server.requests(made.fullPath), 1);
}

}  // namespace
