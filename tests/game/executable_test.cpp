// The game executable: its byte patches and its start.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <sstream>
#include <thread>

#include "core/ini_document.h"
#include "core/user_paths.h"
#include "game/binary_patch.h"
#include "game/game_start.h"
#include "net/endpoints.h"
#include "tests/support/file_size_limit.h"
#include "tests/support/http_server.h"
#include "tests/support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using testing::ElementsAre;

const std::string exe = ".\\Astrovance\\EXE\\Astrovance.exe";
const std::string applied = "BINPatch successfully applied: ";
const std::string reverted = "BINPatch successfully reverted: ";
const std::string notMet = "BINPatch conditions not met. File unchanged: ";
const std::string at14e = exe + " at offset 0x14e";
const std::string at1b264c = exe + " at offset 0x1b264c";

// 2 MB in the game's shape: both patches' original bytes at their offsets, a pattern elsewhere.
const std::string& pristine() {
    static const std::string bytes = [] {
        std::string b(2 * 1024 * 1024, '\0');
        for (std::size_t i = 0; i < b.size(); ++i) b[i] = static_cast<char>((i * 131 + 7) % 251);
        b[0x14E] = 0x0F;
        return b.replace(0x1B264C, 6, "\x83\xFF\x01\x0F\x94\xC2");
    }();
    return bytes;
}
std::string withHeaderPatch() {
    std::string bytes = pristine();
    bytes[0x14E] = 0x2F;
    return bytes;
}
std::string withBothPatches() {
    return withHeaderPatch().replace(0x1B264C, 6, "\xBA\x01\x00\x00\x00\x90", 6);
}

// A game installation that is the current directory while a test runs.
class GamePatches : public testing::Test {
protected:
    void SetUp() override {
        useUserFolder(dir);
        writeFile(executable, pristine());
        fs::current_path(dir.path());
    }
    void TearDown() override { fs::current_path(previous); }
    void setConfig(const std::string& key, const std::string& value) {
        IniDocument::setValue(clientSettingsPath.get(), "Config", key, value);
    }
    std::string onDisk() const { return readFile(executable); }

    const fs::path previous = fs::current_path();
    TempDir dir;
    const fs::path executable = dir.path() / "Astrovance" / "EXE" / "Astrovance.exe";
};

TEST_F(GamePatches, AppliedOnceThenNotOverThemselves) {
    setConfig("RuninBackground", "true");
    applyGamePatches();
    EXPECT_EQ(onDisk(), withBothPatches());
    applyGamePatches();
    EXPECT_EQ(onDisk(), withBothPatches());
    EXPECT_THAT(logMessages(), ElementsAre(applied + at14e, applied + at1b264c, notMet + at14e,
                                           notMet + at1b264c));
}

TEST_F(GamePatches, BackgroundPatchRevertedUnlessTheSettingIsOn) {
    // No setting at all is off; reverting bytes that never carried the patch succeeds unchanged.
    applyGamePatches();
    EXPECT_EQ(onDisk(), withHeaderPatch());

    writeFile(executable, withBothPatches());
    setConfig("RuninBackground", "True");  // only the exact "true" is on
    applyGamePatches();
    EXPECT_EQ(onDisk(), withHeaderPatch());
    EXPECT_THAT(logMessages(), ElementsAre(applied + at14e, reverted + at1b264c, notMet + at14e,
                                           reverted + at1b264c));
}

TEST_F(GamePatches, OtherBuildIsLeftUnchanged) {
    std::string other = pristine();
    other[0x14E] = 0x0E;
    other.replace(0x1B264C, 6, "\x83\xFF\x02\x0F\x94\xC2");
    writeFile(executable, other);
    for (const char* setting : {"true", "false"}) {
        setConfig("RuninBackground", setting);
        applyGamePatches();
        EXPECT_EQ(onDisk(), other);
    }
    EXPECT_THAT(logMessages(),
                ElementsAre(notMet + at14e, notMet + at1b264c, notMet + at14e, notMet + at1b264c));
}

TEST_F(GamePatches, MissingExecutableIsNotCreated) {
    fs::remove(executable);
    applyGamePatches();
    EXPECT_FALSE(fs::exists(executable));
    EXPECT_EQ(logMessages(), std::vector<std::string>(2, "Failed to open file: " + exe));
}

TEST_F(GamePatches, ZerosPastTheEndAreNoFormAndNoDirectionMeansApply) {
    writeFile(executable, "MZ");
    const BINPatch beyond{executable.string(), 16, {0x01}, {0x00}, true};
    EXPECT_FALSE(applyBinPatch(beyond, true));
    EXPECT_FALSE(applyBinPatch(beyond, false));
    EXPECT_EQ(onDisk(), "MZ");

    writeFile(executable, pristine());
    runBinPatch({executable.string(), 0x14E, {0x2F}, {0x0F}, std::nullopt});
    EXPECT_EQ(onDisk(), withHeaderPatch());
    EXPECT_EQ(logMessages().back(), applied + executable.string() + " at offset 0x14e");
}

#ifndef _WIN32
TEST_F(GamePatches, FailedWriteIsReported) {
    setConfig("RuninBackground", "true");
    {
        // Stops writes beyond 512 KB, the background patch's among them, but not the log's.
        const FileSizeLimit full(512 * 1024);
        ASSERT_TRUE(full.active());
        applyGamePatches();
    }
    EXPECT_EQ(onDisk(), withHeaderPatch());
    EXPECT_THAT(logMessages(), ElementsAre(applied + at14e, "Failed to write to file: " + exe));
}

// The stand-in game is a shell script that records its working directory and its arguments.
class GameStart : public GamePatches {
protected:
    void SetUp() override {
        GamePatches::SetUp();
        clientToken.set("c0ffee");
        writeFile(executable,
                  "#!/bin/sh\n{ pwd -P; for a in \"$@\"; do echo \"[$a]\"; done; } "
                  "> started.tmp && mv started.tmp started.txt\n");
        fs::permissions(executable, fs::perms::owner_all);
    }
    // The record of the started game, one line each; empty when it did not start within 10 s.
    std::vector<std::string> startAndWait() {
        const fs::path record = dir.path() / "started.txt";
        fs::remove(record);
        startGame(server.url());
        for (int i = 0; i < 200 && !fs::exists(record); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        std::vector<std::string> lines;
        std::istringstream text(readFile(record));
        for (std::string line; std::getline(text, line);) lines.push_back(line);
        return lines;
    }

    HttpServer server;
    const std::string lanTarget = "/launcher_client/index.php?a=getlanserver&token=c0ffee";
};

TEST_F(GameStart, ParametersFollowTheSwitches) {
    const std::string here = fs::canonical(dir.path()).string();
    const std::string connect = "-I" + gameServerAddress;
    struct Case {
        const char *windowMode, *autoConnect;
        std::string parameters;
        std::vector<std::string> record;
    };
    const Case cases[] = {
        {"false", "", "", {here}},
        {"true", "no", " -w", {here, "[-w]"}},
        {"True", "true", " " + connect, {here, "[" + connect + "]"}},
        {"true", "true", " -w " + connect, {here, "[-w]", "[" + connect + "]"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.windowMode) + "/" + c.autoConnect);
        setConfig("WindowMode", c.windowMode);
        setConfig("AutoConnect", c.autoConnect);
        EXPECT_EQ(startAndWait(), c.record);
        EXPECT_EQ(logMessages().back(), "Startparameters: " + c.parameters);
    }
    EXPECT_EQ(server.requestLog().size(), 0u) << "no server list asked for";
}

TEST_F(GameStart, ServerListFetchedOnlyWhenAskedAndBeforePatching) {
    writeFile(favServerPath.get(), "old list");
    server.script(lanTarget, {answer(200, "[Servers]\nServer1=192.0.2.10\n")});

    setConfig("UpdateLanList", "TRUE");
    ASSERT_FALSE(startAndWait().empty());
    EXPECT_EQ(readFile(favServerPath.get()), "old list");

    setConfig("UpdateLanList", "true");
    const auto earlier = static_cast<std::ptrdiff_t>(logMessages().size());
    ASSERT_FALSE(startAndWait().empty());
    EXPECT_EQ(readFile(favServerPath.get()), "[Servers]\nServer1=192.0.2.10\n");
    EXPECT_EQ(server.requests(lanTarget), 1);

    // The list is fetched before the executable is patched.
    const auto log = logMessages();
    EXPECT_THAT(std::vector<std::string>(log.begin() + earlier, log.end()),
                ElementsAre("Patched: " + favServerPath.get(), testing::_,
                            "Download complete and file saved.", notMet + at14e, notMet + at1b264c,
                            "Startparameters: "));
}

TEST_F(GameStart, MissingExecutableStillLogsTheParameters) {
    fs::remove(executable);
    setConfig("WindowMode", "true");
    startGame(server.url());
    EXPECT_THAT(logMessages(), testing::Contains("Failed to open file: " + exe));
    EXPECT_EQ(logMessages().back(), "Startparameters:  -w");
}
#endif

}  // namespace
