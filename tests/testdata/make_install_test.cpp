#include "testdata/make_install.h"

#include <gtest/gtest.h>

#include "tests/support/temp_dir.h"

namespace {

// The same seed gives the same bytes, another seed others. Whether the server folder agrees with
// itself shows in the patch run over it (patch_end_to_end_tests).
TEST(MakeInstall, TheSeedFixesTheBytes) {
    TempDir dir;
    testdata::InstallOptions options{
        .installDir = {}, .serverDir = dir.path() / "a", .seed = 11, .files = 30, .sizeMb = 2};
    const std::string first = testdata::makeInstall(options).archiveChecksum;
    options.serverDir = dir.path() / "b";
    EXPECT_EQ(testdata::makeInstall(options).archiveChecksum, first);
    options.seed = 12;
    EXPECT_NE(testdata::makeInstall(options).archiveChecksum, first);
}

}  // namespace
