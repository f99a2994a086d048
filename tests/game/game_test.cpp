// The client token, the account and settings from the web service, the game's patches and start.
#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <set>
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
#include "tests/support/http_server.h"
#include "tests/support/temp_dir.h"

namespace {

namespace fs = std::filesystem;

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
    static std::string target(const std::string& action) {
        return "/launcher_client/index.php?a=" + action + "&token=c0ffee";
    }
    // The settings file after the service answered `body` to `action`.
    std::string synced(const std::string& action, const std::string& body) {
        server.script(target(action), {answer(200, body)});
        action == "getaccount" ? syncAccount(server.url()) : syncGameSettings(server.url());
        return readTextFile(settings);
    }
};

// The token is the player's only key at the service: random, made once, and a stored one used as
// it is, the settings file untouched; settings that cannot be written still give the run one.
TEST_F(Game, ClientTokenIsMadeOnceAndAStoredOneKeptAsItIs) {
    std::set<std::string> tokens;
    for (int i = 0; i < 100; ++i) tokens.insert(makeClientToken());
    EXPECT_EQ(tokens.size(), 100u) << "the clock alone would repeat within a second";
    writeFile(settings, "[CLIENT]\nVersion=1.0\n");
    const std::string token = loadClientToken();
    EXPECT_TRUE(std::regex_match(token, hexWithoutLeadingZeros)) << token;
    EXPECT_EQ(readTextFile(settings), "[CLIENT]\nVersion=1.0\ntoken=" + token + "\n");
    EXPECT_EQ(loadClientToken(), token);
    writeFile(settings, "[CLIENT]\ntoken=Not-Hex_At-All ; kept\n");
    const auto written = fs::last_write_time(settings);
    EXPECT_EQ(loadClientToken(), "Not-Hex_At-All");
    EXPECT_EQ(fs::last_write_time(settings), written);
    fs::remove(settings);
    fs::create_directories(settings);
    EXPECT_TRUE(std::regex_match(loadClientToken(), hexWithoutLeadingZeros));
}

TEST_F(Game, AccountGoesToSettingsAndGameKeyAndALaterOneReplacesIt) {
    for (const auto& [name, sig] : {std::pair{"Pilot \xC3\x84rger", "9f8e"}, {"B", "ab"}}) {
        const std::string values =
            std::string("MPAccountName=") + name + "\nMPAccountNameSig=" + sig + "\n";
        EXPECT_EQ(synced("getaccount", std::string(R"({"error":"","MPAccountName":")") + name +
                                           R"(","MPAccountNameSig":")" + sig + R"("})"),
                  before + "[MPID]\n" + values);
#ifndef _WIN32
        EXPECT_EQ(readFile(gameRegistryStorePath()),
                  "[Software\\Microsoft\\Microsoft Games\\Astrovance\\1.0]\n" + values);
#endif
    }
}

#ifndef _WIN32
// A game run by Wine reads the prefix's registry: a stand-in `wine` notes its arguments and locale,
// and fails the `reg` command that the prefix's "fails" names ("query": no game key).
TEST_F(Game, UnderWineTheAccountGoesThroughRegIntoAnExistingKeyOnly) {
    const fs::path prefix = dir.path() / "prefix",
                   docs = prefix / "dosdevices/c:/users/Jos\xC3\xA9/Documents";
    const std::string calls = dir.file("calls"), key = "[HKCU\\" + gameRegistryKey + "]";
    writeFile(dir.path() / "bin/wine",
              "#!/bin/sh\nprintf '[%s]' \"$@\" \"$LC_ALL $LC_CTYPE $LANG\" >>" + calls +
                  "\nread -r f <\"$WINEPREFIX/fails\"; [ \"$2\" != \"$f\" ]\n");
    fs::permissions(dir.path() / "bin/wine", fs::perms::owner_all);
    writeFile(prefix / "user.reg",
              "[Software\\\\Microsoft\\\\Windows\\\\CurrentVersion\\\\Explorer\\\\"
              "Shell Folders] 1\n\"Personal\"=\"C:\\\\users\\\\Jos\\xe9\\\\Documents\"\n");
    for (const auto& folder : {docs.parent_path(), dir.path() / "Own"})
        fs::create_directories(folder);
    std::map<std::string, std::string> saved;
    for (const char* name : {"PATH", "WINEPREFIX", "LC_ALL", "LC_CTYPE", "LANG"})
        if (const char* value = std::getenv(name)) saved[name] = value;

    const std::string name = "P \"\xC3\x84rger\"  \xE6\x9D\xB1 a\\", sig = "9f 8e";
    auto reg = [&](const std::string& locale, const std::string& value) {
        const std::string env = "[" + locale + "]", query = "[reg][query]" + key + env;
        const std::string data = value == "MPAccountName" ? name : sig;
        return value.empty() ? query
                             : query + "[reg][add]" + key + "[/v][" + value + "][/t][REG_SZ][/d][" +
                                   data + "][/f]" + env;
    };
    const std::string u = "C.UTF-8  ", none = reg(u, "") + reg(u, ""),
                      both = reg(u, "MPAccountName") + reg(u, "MPAccountNameSig"),
                      c = reg(" C.UTF-8 C", "MPAccountName") + reg("C  ", "MPAccountNameSig");
    const std::string apart = "The game reads its settings from " + docs.string() +
                              "/My Games/ORV, not from " + userFolder.get(),
                      f = "Failed to write the game's registry value MPAccountName";
    const struct {
        const char *head, *path, *prefix, *fails, *locale;
        bool ownDocuments, ownStore;
        std::string calls;
        std::vector<std::string> log;
    } rows[] = {
        {"MZ", "bin", "prefix", "query", "C.UTF-8", false, false, none, {}},
        {"MZ", "bin", "prefix", "", "C.UTF-8", false, false, both, {}},
        // Wine reads its command line in the locale's character set.
        {"MZ", "bin", "prefix", "", "C", false, false, c, {}},
        {"MZ", "bin", "prefix", "add", "C.UTF-8", true, false, both, {apart, f, f + "Sig"}},
        {"MZ", "bin", "prefix", "", "C.UTF-8", true, false, both, {}},  // noted once
        {"MZ", "bin", "none", "", "C.UTF-8", false, false, "", {}},
        {"MZ", "none", "prefix", "", "C.UTF-8", false, true, "", {}},
        {"#!/bin/sh", "bin", "prefix", "", "C.UTF-8", false, true, "", {}},
    };
    for (const auto& row : rows) {
        fs::remove_all(docs);
        fs::create_directory_symlink(dir.path() / (row.ownDocuments ? "Own" : "Documents"), docs);
        writeFile(prefix / "fails", row.fails);
        setenv("WINEPREFIX", dir.file(row.prefix).c_str(), 1);
        setenv("PATH", dir.file(row.path).c_str(), 1);
        setenv("LC_ALL", row.locale, 1);
        for (const char* variable : {"LC_CTYPE", "LANG"}) unsetenv(variable);
        writeFile(executable, row.head);
        for (const auto& file : {calls, gameRegistryStorePath(), logPath.get()}) fs::remove(file);
        synced("getaccount",
               R"({"MPAccountName":"P \"\u00c4rger\"  \u6771 a\\","MPAccountNameSig":"9f 8e"})");
        EXPECT_EQ(fs::exists(calls) ? readFile(calls) : "", row.calls) << row.fails;
        EXPECT_EQ(logMessages(), row.log) << row.fails;
        EXPECT_EQ(fs::exists(gameRegistryStorePath()), row.ownStore) << row.head;
    }
    for (const char* name : {"PATH", "WINEPREFIX", "LC_ALL", "LC_CTYPE", "LANG"})
        saved.count(name) ? setenv(name, saved[name].c_str(), 1) : unsetenv(name);
}
#endif

TEST_F(Game, SettingsWrittenInOrderUnderTheirKeys) {
    // A quoted false elsewhere is harmless; an escaped one is untouched and arrives as text.
    EXPECT_EQ(
        synced("getgamesettings",
               R"({"ignored":"false","windowmode":"f\u0061lse","autoconnect":"no","error":"",)"
               R"("update_lanlist":"0","use4gbvram":"true","runinbackground":"TRUE"})"),
        "[CLIENT]\ntoken=c0ffee\n[Config]\nWindowMode=false\nAutoConnect=no\n"
        "UpdateLanList=0\nUse4GBVRAM=true\nRuninBackground=TRUE\n");
}

// A quoted "false" becomes null before parsing, so false values are refused (an escaped one too,
// in an account); a line break would add lines to the settings file, and no control character
// belongs in a setting.
TEST_F(Game, RejectedAccountOrSettingsAreStoredNowhere) {
    const std::string account = "getaccount", settings = "getgamesettings";
    const std::string badAccount = "Error: Invalid account data received.",
                      badSettings = "Error updating game settings: Invalid game settings received.";
    const std::string five =
        R"("windowmode":"true","autoconnect":"true","update_lanlist":"true","use4gbvram":"true",)"
        R"("runinbackground":"true")";
    const std::tuple<std::string, std::string, std::string> rows[] = {
        // action, answer, last log line
        {account, "",
         "The account server is not reachable or no data could be read. Please contact an "
         "administrator."},
        {account, R"({"MPAccountName":"P","MPAccountNameSig":""})", badAccount},
        {account, R"({"MPAccountName":"false","MPAccountNameSig":"9f"})", badAccount},
        {account, R"({"MPAccountName":"f\u0061lse","MPAccountNameSig":"9f"})", badAccount},
        {account, R"({"error":"Locked","MPAccountName":"P","MPAccountNameSig":"9f"})",
         "Error: Locked"},
        {account, "Fatal error: database down", badAccount},
        {account, R"({"MPAccountName":"P\r\n[CLIENT]","MPAccountNameSig":"9f"})", badAccount},
        {settings, "",
         "Error: Unable to retrieve game settings. Server unreachable or data unreadable."},
        {settings, "{" + five + R"(,"autoconnect":""})", badSettings},
        {settings, "{\"error\":\"No settings\"," + five + "}",
         "Error updating game settings: No settings"},
        {settings, "{" + five + R"(,"windowmode":"false"})", badSettings},
        {settings, "<html>Service unavailable</html>", badSettings},
        // Regression: a Ctrl-Z ended the settings file for Windows' text-mode readers.
        {settings, "{" + five + R"(,"use4gbvram":"true\u001a"})", badSettings},
        {settings, "{" + five + R"(,"autoconnect":true})", badSettings},
        {settings, "{" + five + R"(,"use4gbvram":"true\n[CLIENT]\nVersion=9"})", badSettings},
    };
    for (const auto& [action, body, logged] : rows) {
        EXPECT_EQ(synced(action, body), before) << body;
        EXPECT_FALSE(fs::exists(gameRegistryStorePath())) << body;
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
        // Reverting bytes that never carried the patch succeeds unchanged.
        {&pristine, "", &headerOnly, {applied + at14e, reverted + at1b264c}},
        {&both, "True", &headerOnly, {notMet + at14e, reverted + at1b264c}},
        {&otherBuild, "true", &otherBuild, {notMet + at14e, notMet + at1b264c}},
        {nullptr, "true", nullptr, {"Failed to open file: " + exe, "Failed to open file: " + exe}},
    };
    for (const auto& row : rows) {
        fs::remove(executable);
        if (row.before) writeFile(executable, *row.before);
        setConfig("RuninBackground", row.runInBackground);
        fs::remove(logPath.get());
        applyGamePatches();
        EXPECT_EQ(logMessages(), row.log) << row.log[0];
        EXPECT_TRUE(row.after ? readFile(executable) == *row.after : !fs::exists(executable));
    }
    // Zeros past the end of the file are no form.
    writeFile(executable, "MZ");
    EXPECT_FALSE(applyBinPatch({executable.string(), 16, {0x01}, {0x00}, true}, true));
    EXPECT_EQ(readFile(executable), "MZ");
}

#ifndef _WIN32
// The stand-in game, a shell script, records its working directory and arguments; only the exact
// "true" fetches the server list.
TEST_F(Game, StartsInTheInstallationWithTheSwitchesParametersAndFetchesTheListWhenAsked) {
    writeFile(executable,
              "#!/bin/sh\n{ pwd -P; echo \"$@\"; } > started.tmp && mv started.tmp started.txt\n");
    fs::permissions(executable, fs::perms::owner_all);
    const std::string connect = "-I" + gameServerAddress;
    server.script(target("getlanserver"), {answer(200, "[Servers]\nServer1=192.0.2.10\n")});
    const struct {
        const char *windowMode, *autoConnect, *updateList;
        std::string arguments;
        bool listFetched;
    } rows[] = {
        {"false", "", "TRUE", "", false},
        {"True", "true", "", connect, false},
        {"true", "true", "true", "-w " + connect, true},
    };
    for (const auto& row : rows) {
        setConfig("WindowMode", row.windowMode);
        setConfig("AutoConnect", row.autoConnect);
        setConfig("UpdateLanList", row.updateList);
        writeFile(favServerPath.get(), "old list");
        fs::remove(dir.path() / "started.txt");
        startGame(server.url());
        for (int i = 0; i < 200 && !fs::exists(dir.path() / "started.txt"); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_EQ(readFile(dir.path() / "started.txt"),
                  fs::canonical(dir.path()).string() + "\n" + row.arguments + "\n");
        EXPECT_EQ(readFile(favServerPath.get()) != "old list", row.listFetched);
    }
}
#endif

}  // namespace
