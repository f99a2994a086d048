// The client token, the account and settings from the web service, the game's patches and start.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "core/ini_document.h"
#include "core/log.h"
#include "core/user_paths.h"
#include "game/account_sync.h"
#include "game/binary_patch.h"
#include "game/client_token.h"
#include "game/game_registry.h"
#include "game/game_start.h"
#include "game/settings_sync.h"
#include "net/endpoints.h"
#include "tests/support/file_size_limit.h"
#include "tests/support/http_server.h"
#include "tests/support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using testing::ElementsAre;

const std::string before = "[CLIENT]\ntoken=c0ffee\n[Config]\nWindowMode=old ; a comment\n";
const std::regex hexWithoutLeadingZeros("0|[1-9a-f][0-9a-f]{0,7}");

// A game installation that is the current directory while a test runs, and its web service.
class Game : public testing::Test {
protected:
    TempDir dir;
    const WorkingFolder inInstallation{dir.path()};
    const fs::path executable = dir.path() / "Astrovance" / "EXE" / "Astrovance.exe";
    HttpServer server;
    std::string settings;

    void SetUp() override {
        useUserFolder(dir);
        clientToken.set("c0ffee");
        settings = clientSettingsPath.get();
        writeFile(settings, before);
    }
    void setConfig(const std::string& key, const std::string& value) {
        IniDocument::setValue(settings, "Config", key, value);
    }
    void account(const std::string& body) {
        server.script(target("getaccount"), {answer(200, body)});
        syncAccount(server.url());
    }
    std::string gameSettings(const std::string& body) {
        server.script(target("getgamesettings"), {answer(200, body)});
        syncGameSettings(server.url());
        return readTextFile(settings);
    }
    static std::string target(const std::string& action) {
        return "/launcher_client/index.php?a=" + action + "&token=c0ffee";
    }
    // The stand-in game, a shell script, records its working directory and arguments: the lines
    // of that record, none when it did not start within 10 s.
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
};

// The token is the player's only key at the service: random, made once, and a stored one used as
// it is, the settings file untouched.
TEST_F(Game, ClientTokenIsMadeOnceAndAStoredOneKeptAsItIs) {
    std::set<std::string> tokens;
    for (int i = 0; i < 100; ++i) {
        const std::string token = makeClientToken();
        ASSERT_TRUE(std::regex_match(token, hexWithoutLeadingZeros)) << token;
        tokens.insert(token);
    }
    EXPECT_EQ(tokens.size(), 100u) << "the clock alone would repeat within a second";

    writeFile(settings, "[CLIENT]\nVersion=1.0\n[Config]\nWindowMode=true\n");
    const std::string token = loadClientToken();
    EXPECT_EQ(readTextFile(settings),
              "[CLIENT]\nVersion=1.0\ntoken=" + token + "\n[Config]\nWindowMode=true\n");
    EXPECT_EQ(loadClientToken(), token);
    writeFile(settings, "[CLIENT]\ntoken=Not-Hex_At-All ; kept\n");
    const auto written = fs::last_write_time(settings);
    EXPECT_EQ(loadClientToken(), "Not-Hex_At-All");
    EXPECT_EQ(readTextFile(settings), "[CLIENT]\ntoken=Not-Hex_At-All ; kept\n");
    EXPECT_EQ(fs::last_write_time(settings), written);

    // Settings that cannot be written still give the run a token.
    fs::remove(settings);
    fs::create_directories(settings);
    EXPECT_TRUE(std::regex_match(loadClientToken(), hexWithoutLeadingZeros));
}

TEST_F(Game, AccountGoesToSettingsAndGameKeyAndALaterOneReplacesIt) {
    for (const auto& [name, sig] : {std::pair{"Pilot \xC3\x84rger", "9f8e"}, {"B", "ab"}}) {
        account(std::string(R"({"error":"","extra":"false","MPAccountName":")") + name +
                R"(","MPAccountNameSig":")" + sig + R"("})");
        const std::string values =
            std::string("MPAccountName=") + name + "\nMPAccountNameSig=" + sig + "\n";
        EXPECT_EQ(readTextFile(settings), before + "[MPID]\n" + values);
#ifndef _WIN32
        EXPECT_EQ(readFile(gameRegistryStorePath()),
                  "[Software\\Microsoft\\Microsoft Games\\Astrovance\\1.0]\n" + values);
#endif
        EXPECT_EQ(server.requests(target("getaccount")), 1);
    }
    for (const auto& message : logMessages()) EXPECT_NE(message.rfind("Error", 0), 0u) << message;
#ifndef _WIN32
    fs::remove(gameRegistryStorePath());
    fs::create_directories(gameRegistryStorePath());  // without a registry, a file's failure shows
    EXPECT_FALSE(setGameRegistryValue("MPAccountName", "Pilot"));
#endif
}

// A quoted "false" becomes null before parsing, so false values are refused, while an escaped one
// survives as text; a line break would add lines to the settings file.
TEST_F(Game, RejectedAccountIsStoredNowhere) {
    const std::string invalid = "Error: Invalid account data received.";
    const std::pair<std::string, std::string> rows[] = {
        // answer, last log line
        {"",
         "The account server is not reachable or no data could be read. Please contact an "
         "administrator."},
        {R"({"MPAccountName":"P","MPAccountNameSig":""})", invalid},
        {R"({"MPAccountNameSig":"9f"})", invalid},
        {R"({"MPAccountName":"false","MPAccountNameSig":"9f"})", invalid},
        {R"({"MPAccountName":"f\u0061lse","MPAccountNameSig":"9f"})", invalid},
        {R"({"MPAccountName":"P","MPAccountNameSig":"fals\u0065"})", invalid},
        {R"({"error":"Locked","MPAccountName":"P","MPAccountNameSig":"9f"})", "Error: Locked"},
        {R"({"error":"Locked","MPAccountName":"P"})", invalid},
        {"Fatal error: database down", invalid},
        {R"([{"MPAccountName":"P","MPAccountNameSig":"9f"}])", invalid},
        {R"({"MPAccountName":"P","MPAccountNameSig":12345})", invalid},
        {R"({"MPAccountName":"P\r\n[CLIENT]","MPAccountNameSig":"9f"})", invalid},
    };
    for (const auto& [body, logged] : rows) {
        account(body);
        EXPECT_EQ(readTextFile(settings), before) << body;
        EXPECT_FALSE(fs::exists(gameRegistryStorePath())) << body;
        EXPECT_EQ(logMessages().back(), logged) << body;
    }
}

TEST_F(Game, SettingsWrittenInOrderUnderTheirKeysOrNotAtAll) {
    EXPECT_EQ(
        gameSettings(R"({"windowmode":"true","autoconnect":"a","update_lanlist":"u",)"
                     R"("use4gbvram":"v","runinbackground":"r","error":"","other":{"x":[1]}})"),
        "[CLIENT]\ntoken=c0ffee\n[Config]\nWindowMode=true\nAutoConnect=a\nUpdateLanList=u\n"
        "Use4GBVRAM=v\nRuninBackground=r\n");
    EXPECT_EQ(server.requests(target("getgamesettings")), 1);
    // A quoted false elsewhere is harmless; an escaped one is untouched and arrives as text.
    const std::string after =
        gameSettings(R"({"ignored":"false","windowmode":"f\u0061lse","autoconnect":"no",)"
                     R"("update_lanlist":"0","use4gbvram":"true","runinbackground":"TRUE",)"
                     R"("list":["false","false"]})");
    EXPECT_EQ(after,
              "[CLIENT]\ntoken=c0ffee\n[Config]\nWindowMode=false\nAutoConnect=no\n"
              "UpdateLanList=0\nUse4GBVRAM=true\nRuninBackground=TRUE\n");

    const std::string invalid = "Error updating game settings: Invalid game settings received.";
    const std::string five =
        R"("windowmode":"true","autoconnect":"true","update_lanlist":"true","use4gbvram":"true",)"
        R"("runinbackground":"true")";
    const std::pair<std::string, std::string> rejected[] = {
        // answer, last log line
        {"", "Error: Unable to retrieve game settings. Server unreachable or data unreadable."},
        {"{" + five + R"(,"autoconnect":""})", invalid},
        {R"({"windowmode":"1","autoconnect":"1","update_lanlist":"1","use4gbvram":"1"})", invalid},
        {"{\"error\":\"No settings\"," + five + "}", "Error updating game settings: No settings"},
        {"{" + five + R"(,"windowmode":"false"})", invalid},
        {"{\"error\":\"false\"," + five + "}", invalid},
        {"<html>Service unavailable</html>", invalid},
        {"{" + five + "/* no */}", invalid},
        {"[{" + five + "}]", invalid},
        {"{" + five + R"(,"autoconnect":true})", invalid},
        {"{" + five + R"(,"use4gbvram":"true\n[CLIENT]\nVersion=9"})", invalid},
    };
    for (const auto& [body, logged] : rejected) {
        EXPECT_EQ(gameSettings(body), after) << body;
        EXPECT_EQ(logMessages().back(), logged) << body;
    }
}

const std::string exe = ".\\Astrovance\\EXE\\Astrovance.exe";
const std::string applied = "BINPatch successfully applied: ",
                  reverted = "BINPatch successfully reverted: ",
                  notMet = "BINPatch conditions not met. File unchanged: ";
const std::string at14e = exe + " at offset 0x14e", at1b264c = exe + " at offset 0x1b264c";

// 2 MB in the game's shape: the header byte and the background code given, a pattern elsewhere.
std::string gameBytes(char header, const char* code) {
    std::string b(2 * 1024 * 1024, '\0');
    for (std::size_t i = 0; i < b.size(); ++i) b[i] = static_cast<char>((i * 131 + 7) % 251);
    b[0x14E] = header;
    return b.replace(0x1B264C, 6, code, 6);
}
const std::string pristine = gameBytes(0x0F, "\x83\xFF\x01\x0F\x94\xC2");
const std::string headerOnly = gameBytes(0x2F, "\x83\xFF\x01\x0F\x94\xC2");
const std::string both = gameBytes(0x2F, "\xBA\x01\x00\x00\x00\x90");
const std::string otherBuild = gameBytes(0x0E, "\x83\xFF\x02\x0F\x94\xC2");

// Each patch is written only over its known other form; only the exact "true" turns the
// background patch on.
TEST_F(Game, PatchesFollowTheSettingAndTouchOnlyKnownBytes) {
    const struct {
        const std::string* before;  // nullptr: no executable
        const char* runInBackground;
        const std::string* after;
        std::vector<std::string> log;
    } rows[] = {
        {&pristine, "true", &both, {applied + at14e, applied + at1b264c}},
        {&both, "true", &both, {notMet + at14e, notMet + at1b264c}},
        // Reverting bytes that never carried the patch succeeds unchanged.
        {&pristine, "", &headerOnly, {applied + at14e, reverted + at1b264c}},
        {&both, "True", &headerOnly, {notMet + at14e, reverted + at1b264c}},
        {&otherBuild, "true", &otherBuild, {notMet + at14e, notMet + at1b264c}},
        {&otherBuild, "false", &otherBuild, {notMet + at14e, notMet + at1b264c}},
        {nullptr, "true", nullptr, {"Failed to open file: " + exe, "Failed to open file: " + exe}},
    };
    for (const auto& row : rows) {
        fs::remove(executable);
        if (row.before) writeFile(executable, *row.before);
        setConfig("RuninBackground", row.runInBackground);
        fs::remove(logPath.get());
        applyGamePatches();
        EXPECT_EQ(logMessages(), row.log) << row.log[0];
        if (row.after) {
            EXPECT_TRUE(readFile(executable) == *row.after) << row.log[0];
        }
        EXPECT_EQ(fs::exists(executable), row.after != nullptr) << "never created";
    }

    // Zeros past the end of the file are no form; a patch without direction applies.
    writeFile(executable, "MZ");
    const BINPatch beyond{executable.string(), 16, {0x01}, {0x00}, true};
    EXPECT_FALSE(applyBinPatch(beyond, true));
    EXPECT_FALSE(applyBinPatch(beyond, false));
    EXPECT_EQ(readFile(executable), "MZ");
    writeFile(executable, pristine);
    runBinPatch({executable.string(), 0x14E, {0x2F}, {0x0F}, std::nullopt});
    EXPECT_TRUE(readFile(executable) == headerOnly);
}

#ifndef _WIN32
TEST_F(Game, FailedPatchWriteIsReported) {
    writeFile(executable, pristine);
    setConfig("RuninBackground", "true");
    {
        // Stops writes beyond 512 KB, the background patch's among them, but not the log's.
        const FileSizeLimit full(512 * 1024);
        ASSERT_TRUE(full.active());
        applyGamePatches();
    }
    EXPECT_TRUE(readFile(executable) == headerOnly);
    EXPECT_THAT(logMessages(), ElementsAre(applied + at14e, "Failed to write to file: " + exe));
}

TEST_F(Game, ParametersFollowTheSwitchesAndTheListIsFetchedFirstWhenAsked) {
    writeFile(executable,
              "#!/bin/sh\n{ pwd -P; for a in \"$@\"; do echo \"[$a]\"; done; } "
              "> started.tmp && mv started.tmp started.txt\n");
    fs::permissions(executable, fs::perms::owner_all);
    const std::string lanList = target("getlanserver");
    const std::string here = fs::canonical(dir.path()).string(), connect = "-I" + gameServerAddress;
    const struct {
        const char *windowMode, *autoConnect;
        std::string parameters;
        std::vector<std::string> record;
    } rows[] = {
        {"false", "", "", {here}},
        {"true", "no", " -w", {here, "[-w]"}},
        {"True", "true", " " + connect, {here, "[" + connect + "]"}},
        {"true", "true", " -w " + connect, {here, "[-w]", "[" + connect + "]"}},
    };
    for (const auto& row : rows) {
        setConfig("WindowMode", row.windowMode);
        setConfig("AutoConnect", row.autoConnect);
        EXPECT_EQ(startAndWait(), row.record) << row.parameters;
        EXPECT_EQ(logMessages().back(), "Startparameters: " + row.parameters);
    }
    writeFile(favServerPath.get(), "old list");
    server.script(lanList, {answer(200, "[Servers]\nServer1=192.0.2.10\n")});
    setConfig("UpdateLanList", "TRUE");
    ASSERT_FALSE(startAndWait().empty());
    EXPECT_EQ(readFile(favServerPath.get()), "old list");
    EXPECT_EQ(server.requestLog().size(), 0u) << "no server list asked for";

    setConfig("UpdateLanList", "true");
    fs::remove(logPath.get());
    ASSERT_FALSE(startAndWait().empty());
    EXPECT_EQ(readFile(favServerPath.get()), "[Servers]\nServer1=192.0.2.10\n");
    EXPECT_EQ(server.requests(lanList), 1);
    EXPECT_THAT(logMessages(), ElementsAre("Patched: " + favServerPath.get(), testing::_,
                                           "Download complete and file saved.", notMet + at14e,
                                           notMet + at1b264c, "Startparameters:  -w " + connect));

    fs::remove(executable);  // a game that cannot start still logs its parameters
    startGame(server.url());
    EXPECT_THAT(logMessages(), testing::Contains("Failed to open file: " + exe));
    EXPECT_EQ(logMessages().back(), "Startparameters:  -w " + connect);
}
#endif

}  // namespace
