#include "game/binary_patch.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "core/ini_document.h"
#include "core/user_paths.h"
#include "tests/game/installation_root.h"
#include "tests/support/file_size_limit.h"

namespace {

using testing::ElementsAre;

const std::string exe = ".\\Astrovance\\EXE\\Astrovance.exe";
const std::string at14e = exe + " at offset 0x14e";
const std::string at1b264c = exe + " at offset 0x1b264c";

std::string withHeaderPatch(std::string bytes) {
    bytes[0x14E] = 0x2F;
    return bytes;
}
std::string withBackgroundPatch(std::string bytes) {
    bytes.replace(0x1B264C, 6, "\xBA\x01\x00\x00\x00\x90", 6);
    return bytes;
}
std::string withBothPatches(std::string bytes) {
    return withBackgroundPatch(withHeaderPatch(bytes));
}

class GamePatches : public testing::Test {
protected:
    void SetUp() override { writeFile(root.executable(), pristineExecutable()); }
    void setInBackground(const std::string& value) {
        IniDocument::setValue(clientSettingsPath.get(), "Config", "RuninBackground", value);
    }
    std::string executable() const { return readFile(root.executable()); }

    InstallationRoot root;
};

TEST_F(GamePatches, AppliedOnceThenNotAppliedOverThemselves) {
    setInBackground("true");
    applyGamePatches();
    EXPECT_EQ(executable(), withBothPatches(pristineExecutable()));
    EXPECT_THAT(logMessages(), ElementsAre("BINPatch successfully applied: " + at14e,
                                           "BINPatch successfully applied: " + at1b264c));

    applyGamePatches();
    EXPECT_EQ(executable(), withBothPatches(pristineExecutable()));
    EXPECT_THAT(
        logMessages(),
        ElementsAre(testing::_, testing::_, "BINPatch conditions not met. File unchanged: " + at14e,
                    "BINPatch conditions not met. File unchanged: " + at1b264c));
}

TEST_F(GamePatches, BackgroundPatchIsRevertedWhenTheSettingIsOff) {
    writeFile(root.executable(), withBothPatches(pristineExecutable()));
    setInBackground("True");  // only the exact "true" is on
    applyGamePatches();
    EXPECT_EQ(executable(), withHeaderPatch(pristineExecutable()));
    EXPECT_THAT(logMessages(), ElementsAre("BINPatch conditions not met. File unchanged: " + at14e,
                                           "BINPatch successfully reverted: " + at1b264c));
}

TEST_F(GamePatches, RevertingAPristineExecutableWritesNothingAndSucceeds) {
    // No "RuninBackground" key at all counts as off.
    applyGamePatches();
    EXPECT_EQ(executable(), withHeaderPatch(pristineExecutable()));
    EXPECT_THAT(logMessages(), ElementsAre("BINPatch successfully applied: " + at14e,
                                           "BINPatch successfully reverted: " + at1b264c));
}

TEST_F(GamePatches, OtherBuildIsLeftUnchanged) {
    std::string other = pristineExecutable();
    other[0x14E] = 0x0E;
    other.replace(0x1B264C, 6, "\x83\xFF\x02\x0F\x94\xC2");
    writeFile(root.executable(), other);
    for (const char* setting : {"true", "false"}) {
        setInBackground(setting);
        applyGamePatches();
        EXPECT_EQ(executable(), other);
    }
    const std::string notMet = "BINPatch conditions not met. File unchanged: ";
    EXPECT_THAT(logMessages(),
                ElementsAre(notMet + at14e, notMet + at1b264c, notMet + at14e, notMet + at1b264c));
}

TEST_F(GamePatches, ShortExecutableIsNeitherFormNorExtended) {
    std::string shortOne = pristineExecutable().substr(0, 0x1B264C + 3);
    writeFile(root.executable(), shortOne);
    setInBackground("true");
    applyGamePatches();
    EXPECT_EQ(executable(), withHeaderPatch(shortOne));
    EXPECT_THAT(logMessages(),
                ElementsAre("BINPatch successfully applied: " + at14e,
                            "BINPatch conditions not met. File unchanged: " + at1b264c));
}

TEST_F(GamePatches, ExecutableThatCannotBeOpenedIsLoggedPerPatch) {
    std::filesystem::remove(root.executable());
    setInBackground("true");
    applyGamePatches();
    EXPECT_FALSE(std::filesystem::exists(root.executable())) << "never created";

    std::filesystem::create_directory(root.executable());  // stands in for a locked file
    applyGamePatches();
    EXPECT_THAT(logMessages(),
                ElementsAre("Failed to open file: " + exe, "Failed to open file: " + exe,
                            "Failed to open file: " + exe, "Failed to open file: " + exe));
}

TEST(BinPatch, ReportsWhetherTheFileHoldsTheRequestedForm) {
    InstallationRoot root;
    writeFile(root.executable(), pristineExecutable());
    const BINPatch patch{(root.executable()).string(),
                         0x1B264C,
                         {0xBA, 0x01, 0x00, 0x00, 0x00, 0x90},
                         {0x83, 0xFF, 0x01, 0x0F, 0x94, 0xC2},
                         std::nullopt};
    EXPECT_TRUE(applyBinPatch(patch, false)) << "already original";
    EXPECT_TRUE(applyBinPatch(patch, true));
    EXPECT_FALSE(applyBinPatch(patch, true)) << "already patched is not success";
    EXPECT_TRUE(applyBinPatch(patch, false));
    EXPECT_EQ(readFile(root.executable()), pristineExecutable());

    // A patch without direction is applied.
    runBinPatch(patch);
    EXPECT_EQ(readFile(root.executable()), withBackgroundPatch(pristineExecutable()));
    EXPECT_EQ(logMessages().back(),
              "BINPatch successfully applied: " + patch.file + " at offset 0x1b264c");
}

TEST(BinPatch, ZerosPastTheEndOfTheFileAreNoForm) {
    InstallationRoot root;
    writeFile(root.executable(), "MZ");
    const BINPatch patch{root.executable().string(), 16, {0x01}, {0x00}, true};
    EXPECT_FALSE(applyBinPatch(patch, true));
    EXPECT_FALSE(applyBinPatch(patch, false));
    EXPECT_EQ(readFile(root.executable()), "MZ");
}

#ifndef _WIN32
// The file size limit refuses writes past it, as a full disk would, without touching devices.
TEST(BinPatch, FailedWriteIsReported) {
    InstallationRoot root;
    // Big enough that the limit stops the patch but not the log line about it.
    const std::string pristine(1 << 20, '\0');
    writeFile(root.executable(), pristine);
    const BINPatch patch{root.executable().string(), 900000, {0x01}, {0x00}, true};
    bool applied = true;
    {
        const FileSizeLimit full(512 * 1024);
        ASSERT_TRUE(full.active());
        applied = applyBinPatch(patch, true);
    }
    EXPECT_FALSE(applied);
    EXPECT_EQ(logMessages().back(), "Failed to write to file: " + root.executable().string());
    EXPECT_EQ(readFile(root.executable()), pristine);
}
#endif

}  // namespace
