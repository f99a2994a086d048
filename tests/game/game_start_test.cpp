#include "game/game_start.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <sstream>
#include <thread>

#include "core/ini_document.h"
#include "core/user_paths.h"
#include "net/endpoints.h"
#include "tests/game/installation_root.h"
#include "tests/support/http_server.h"

// The stand-in game is a shell script.
#ifndef _WIN32
namespace {

namespace fs = std::filesystem;
using testing::Contains;

const std::string lanTarget = "/launcher_client/index.php?a=getlanserver&token=c0ffee";

// Stands in for the game: records its working directory and its arguments, one per line.
const std::string recordingGame =
    "#!/bin/sh\n"
    "{ pwd -P; for a in \"$@\"; do echo \"[$a]\"; done; } > started.tmp && mv started.tmp "
    "started.txt\n";

class GameStart : public testing::Test {
protected:
    void SetUp() override {
        clientToken.set("c0ffee");
        writeFile(root.executable(), recordingGame);
        fs::permissions(root.executable(), fs::perms::owner_all);
    }
    void setConfig(const std::string& key, const std::string& value) {
        IniDocument::setValue(clientSettingsPath.get(), "Config", key, value);
    }
    // The record of the started game: its working directory and arguments; empty when it did not
    // start within ten seconds.
    std::vector<std::string> startAndWait() {
        const fs::path record = root.path() / "started.txt";
        fs::remove(record);
        startGame(server.url());
        for (int i = 0; i < 200 && !fs::exists(record); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        std::vector<std::string> lines;
        std::istringstream text(readFile(record));
        for (std::string line; std::getline(text, line);) lines.push_back(line);
        return lines;
    }

    InstallationRoot root;
    HttpServer server;
};

TEST_F(GameStart, ParametersFollowTheSwitches) {
    const std::string here = fs::canonical(root.path()).string();
    const std::string connect = "-I" + gameServerAddress;
    struct Case {
        const char* windowMode;
        const char* autoConnect;
        std::string parameters;
        std::vector<std::string> record;
    };
    const std::vector<Case> cases = {
        {"false", "", "", {here}},
        {"true", "no", " -w", {here, "[-w]"}},
        {"True", "true", " -I" + gameServerAddress, {here, "[" + connect + "]"}},
        {"true", "true", " -w -I" + gameServerAddress, {here, "[-w]", "[" + connect + "]"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.windowMode) + "/" + c.autoConnect);
        setConfig("WindowMode", c.windowMode);
        setConfig("AutoConnect", c.autoConnect);
        EXPECT_EQ(startAndWait(), c.record);
        EXPECT_EQ(logMessages().back(), "Startparameters: " + c.parameters);
    }
    EXPECT_EQ(startParameters(true, true), " -w -I" + gameServerAddress);
    EXPECT_EQ(server.requestLog().size(), 0u) << "no server list asked for";
}

TEST_F(GameStart, ServerListIsFetchedAnewOnlyWhenAsked) {
    writeFile(favServerPath.get(), "old list");
    server.script(lanTarget, {answer(200, "[Servers]\nServer1=192.0.2.10\n")});

    setConfig("UpdateLanList", "TRUE");
    ASSERT_FALSE(startAndWait().empty());
    EXPECT_EQ(readFile(favServerPath.get()), "old list");
    EXPECT_EQ(server.requests(lanTarget), 0);

    setConfig("UpdateLanList", "true");
    const std::size_t earlier = logMessages().size();
    ASSERT_FALSE(startAndWait().empty());
    EXPECT_EQ(readFile(favServerPath.get()), "[Servers]\nServer1=192.0.2.10\n");
    ASSERT_FALSE(startAndWait().empty());
    EXPECT_EQ(server.requests(lanTarget), 2);

    // The list is fetched before the executable is patched.
    const auto messages = logMessages();
    const auto first = [&](const std::string& prefix) {
        return std::find_if(messages.begin() + static_cast<std::ptrdiff_t>(earlier), messages.end(),
                            [&](const std::string& m) { return m.rfind(prefix, 0) == 0; });
    };
    ASSERT_NE(first("Patched: "), messages.end());
    EXPECT_LT(first("Patched: "), first("BINPatch"));
}

TEST_F(GameStart, MissingExecutableStillLogsTheParameters) {
    fs::remove(root.executable());
    setConfig("WindowMode", "true");
    startGame(server.url());
    EXPECT_THAT(logMessages(), Contains("Failed to open file: .\\Astrovance\\EXE\\Astrovance.exe"));
    EXPECT_EQ(logMessages().back(), "Startparameters:  -w");
}

}  // namespace
#endif
