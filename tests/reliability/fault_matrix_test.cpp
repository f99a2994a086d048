// Whole sessions (patch run, settings and account sync, game start) against a served installation
// with one fault each: a hostile server, or (built as disk_fault_tests) a disk that says no. Each
// row runs in a child process, because ten failed transfers end the launcher, and is judged from
// outside: how the child ended, its log, what is on disk. Then a session without the fault must
// finish the update.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "core/ini_document.h"
#include "core/user_paths.h"
#include "game/account_sync.h"
#include "game/game_start.h"
#include "game/settings_sync.h"
#include "integrity/checksum.h"
#include "net/endpoints.h"
#include "net/retry_pause.h"
#include "net/stall_limit.h"
#include "patch/patch_thread.h"
#include "testdata/game_content.h"
#include "testdata/make_install.h"
#include "tests/support/file_size_limit.h"
#include "tests/support/http_server.h"
#include "tests/support/temp_dir.h"

namespace fs = std::filesystem;

namespace {

constexpr int sessionDone = 42;  // the child's status after a session that ran to its end
const std::string token = "f00dcafe", service = "/launcher_client/index.php?a=";
const std::string settingsUrl = service + "getgamesettings&token=" + token,
                  accountUrl = service + "getaccount&token=" + token,
                  lanUrl = service + "getlanserver&token=" + token;
const std::map<std::string, std::string> serviceAnswers = {
    {settingsUrl, R"({"error":"","windowmode":"true","autoconnect":"false",)"
                  R"("update_lanlist":"true","use4gbvram":"true","runinbackground":"true"})"},
    {accountUrl, R"({"error":"","MPAccountName":"Pilot","MPAccountNameSig":"c2lnbmF0dXJl"})"},
    {lanUrl, "[Servers]\r\nServer1=127.0.0.1\r\n"}};
// Targets on the download server; incFile stands for the inc update's first file.
const std::string versionIni = "/version.ini", incIni = "/updates/1.1/hashes.ini",
                  incFile = "<inc file>", fullIni = "/updates/1.0/hashes.ini",
                  fullInfo = "/updates/1.0/full.ini", zip = "/updates/1.0/ORV.zip",
                  prePatch = "/updates/1.1/PrePatch.ini", postPatch = "/updates/1.1/PostPatch.ini";

// clang-format off
enum class Fault {
    Status500, Status404, Html, CutOff, CutTwice, Truncated, Endless, WrongBytes, Bom, HugeLine,
    Down, DiskFull, ReadOnlyExe, Vanish
};
// clang-format on
using enum Fault;

using Line = std::pair<std::string, int>;  // a message's start, and its least number of lines
const std::string fetchFailed = "curl_easy_perform() failed: ";
const Line retried = {fetchFailed, 3}, http500 = {"HTTP Error: 500 ", 3},
           tenFailures = {"Failed to download file. CURL error: ", 10},
           resumed = {"Resuming download at byte ", 2},
           unchecked = {"No version from the download server: the installation was not checked", 1},
           incomplete = {"Update incomplete: ", 1},
           zipFailed = {"Failed to download ZIP correctly after 3 attempts.", 1};

enum Flags {
    Quits = 1,    // ends the launcher (status 0)
    Current = 2,  // ends at the server's version
};

struct Row {
    const char* name;
    std::string target;  // whose answer is faulty
    Fault fault;
    std::vector<Line> log;
    int flags = 0;
};
void PrintTo(const Row& row, std::ostream* out) {
    *out << row.name;
}

// clang-format off
#ifndef ORV_DISK_FAULTS
// The archive rows start from an empty installation, so that the full update runs first.
const Row rows[] = {
    // The version file: a failure leaves the installation and its recorded version alone.
    {"versionFile500", versionIni, Status500, {http500, unchecked}},
    {"versionFileHtml", versionIni, Html, {unchecked}},
    {"versionFileTruncated", versionIni, Truncated, {}},
    {"versionFileHugeLine", versionIni, HugeLine, {}, Current},
    {"versionFileBom", versionIni, Bom, {}, Current},
    {"downloadServerDown", versionIni, Down, {{fetchFailed + "Couldn't connect to server", 3}, unchecked}},
    // The inc manifest: an update whose file list did not arrive is not done.
    {"incManifest500", incIni, Status500, {http500, incomplete}},
    {"incManifestHtml", incIni, Html, {incomplete}},
    // A byte-order mark belongs to the first key, which then names no file on the server.
    {"incManifestBom", incIni, Bom, {tenFailures}, Quits},
    {"incManifestHugeLine", incIni, HugeLine, {}, Current},
    // One file of the inc update: what fails ten times ends the launcher, the old file kept; a
    // transfer that breaks off is taken up where it broke.
    {"incFile404", incFile, Status404, {tenFailures}, Quits},
    {"incFileCutTwice", incFile, CutTwice, {resumed}, Current},
    {"incFileEndless", incFile, Endless, {tenFailures}, Quits},
    {"incFileWrongBytes", incFile, WrongBytes, {{"Download refused: checksum ", 10}}, Quits},
    // The full update's manifest and checksum file.
    {"fullManifest500", fullIni, Status500, {http500, incomplete}},
    {"fullManifestHtml", fullIni, Html, {incomplete}},
    {"fullInfo404", fullInfo, Status404, {zipFailed}, Current},
    // The archive: bytes that are not the archive never replace anything.
    {"archive404", zip, Status404, {tenFailures}, Quits},
    {"archiveCutTwice", zip, CutTwice, {resumed}, Current},
    {"archiveTruncated", zip, Truncated, {zipFailed, incomplete}},
    // A script the server fails to deliver leaves its update undone; one it has not is no error.
    {"prePatch500", prePatch, Status500, {http500, incomplete}},
    {"prePatch404", prePatch, Status404, {{"HTTP Error: 404 ", 3}}, Current},
    {"prePatchHtml", prePatch, Html, {}, Current},
    {"postPatchCutOff", postPatch, CutOff, {retried, incomplete}},
    {"postPatchHugeLine", postPatch, HugeLine, {}, Current},
    // A bad answer of the web service writes nothing; the session goes on.
    {"settings500", settingsUrl, Status500,
     {{"Error: Unable to retrieve game settings. Server unreachable or data unreadable.", 1}}, Current},
    {"settingsBom", settingsUrl, Bom, {}, Current},  // JSON allows the mark; the reader skips it
    {"account404", accountUrl, Status404, {{"The account server is not reachable", 1}}, Current},
    {"accountHtml", accountUrl, Html, {{"Error: Invalid account data received.", 1}}, Current},
    // The game start's server list: ten failed transfers end the launcher before the game.
    {"lanList404", lanUrl, Status404, {tenFailures}, Quits | Current},
    {"lanListHtml", lanUrl, Html, {{"Startparameters: ", 1}}, Current},
};
#else
const Row rows[] = {
    // Regression: extraction wrote straight over the installed file, so a full disk left it cut
    // off. The largest file of the archive differs on disk and cannot be extracted again.
    {"extractionIntoFullDisk", "", DiskFull, {{"Error when extracting the file", 1}}},
    // The executable's folder is not the player's: each file it cannot place is logged.
    {"readOnlyGameFolder", "", ReadOnlyExe, {{"Failed to open file for writing: ", 1}}},
    // The pre-patch script deletes the archive and a file the update replaces after the scan:
    // both are fetched again.
    {"filesVanishAfterTheScan", "/updates/1.0/PrePatch.ini", Vanish, {}, Current},
};
#endif
// clang-format on

// Every file, folder and link below `folder` with its content, skipping the subtrees in `skip`.
std::map<fs::path, std::string> snapshot(const fs::path& folder,
                                         const std::vector<fs::path>& skip) {
    std::map<fs::path, std::string> files;
    for (auto it = fs::recursive_directory_iterator(folder); it != fs::end(it); ++it) {
        if (std::count(skip.begin(), skip.end(), it->path()))
            it.disable_recursion_pending();
        else if (it->is_symlink())
            files[it->path()] = "-> " + fs::read_symlink(it->path()).string();
        else
            files[it->path()] = it->is_regular_file() ? readFile(it->path()) : "<folder>";
    }
    return files;
}

std::string checksumText(const std::string& bytes) {
    return formatChecksum(continueChecksum(0, bytes.data(), bytes.size()));
}

class Session : public testing::TestWithParam<Row> {
protected:
    TempDir dir;  // nothing may change here but the installation and the user folder
    fs::path root = dir.path() / "Install", server = dir.path() / "Server";
    testdata::MadeInstall made;
    std::string target;
    const Fault fault = GetParam().fault;
    std::uintmax_t diskLimit = 8 << 20;  // an endless body stops here, not at the end of the disk

    void SetUp() override {
        if (fault == ReadOnlyExe && geteuid() != 0) GTEST_SKIP() << "needs root to change owners";
        testdata::InstallOptions options;
        options.installDir = root;
        options.serverDir = server;
        options.seed = 11;
        options.files = 6;
        options.sizeMb = 0.25;
        options.blanksInNames = false;
        if (GetParam().target == zip) options.scenario = testdata::Scenario::FreshFull;
        made = testdata::makeInstall(options);
        fs::create_directories(root);
        useUserFolder(dir);
        // With a version below the full update's, both updates run.
        const std::string version =
            fault == DiskFull || made.installedVersion.empty() ? "0.9" : made.installedVersion;
        writeFile(clientSettingsPath.get(), "[CLIENT]\r\ntoken=" + token + "\r\nVersion=" +
                                                version + "\r\n[Config]\r\nUpdateLanList=true\r\n");
        clientToken.set(token);
        target = GetParam().target == incFile ? "/updates/1.1/" + made.incFiles.front()
                                              : GetParam().target;
        if (fault == DiskFull) {
            // The largest file but the executable, which the game start changes.
            const auto size = [](const auto& file) {
                return file.path == testdata::executablePath ? 0 : file.size;
            };
            const auto largest =
                std::max_element(made.fullFiles.begin(), made.fullFiles.end(),
                                 [&](const auto& a, const auto& b) { return size(a) < size(b); });
            writeFile(root / "Astrovance" / largest->path, "damaged but whole");
            diskLimit = largest->size / 2;
        }
        if (fault == ReadOnlyExe) {
            // All is the player's but the executable's folder, which the inc update changes.
            for (const auto& entry : fs::recursive_directory_iterator(dir.path()))
                ASSERT_EQ(lchown(entry.path().c_str(), 65534, 65534), 0);
            const fs::path locked = root / "Astrovance" / "EXE";
            for (const auto& entry : fs::directory_iterator(locked))
                ASSERT_EQ(chown(entry.path().c_str(), 0, 0), 0);
            ASSERT_EQ(chown(locked.c_str(), 0, 0), 0);
            ASSERT_EQ(chown(dir.path().c_str(), 65534, 65534), 0);
            fs::permissions(locked, fs::perms::others_write | fs::perms::group_write,
                            fs::perm_options::remove);
        }
    }

    std::vector<HttpAnswer> faulty() const {
        const auto known = serviceAnswers.find(target);
        const std::string body =
            known != serviceAnswers.end() ? known->second : readFile(server / target.substr(1));
        std::string changed = body;
        // clang-format off
        switch (fault) {
        case Status500: return {answer(500, "broken")};
        case Status404: return {answer(404, "not found")};
        case Html: return {answer(200, "<!DOCTYPE html>\n<html><h1>502 Bad Gateway</h1></html>\n")};
        case CutOff: return {answer(200, body, Delivery::CutOff)};
        case CutTwice:
            return {cutAfter(body, body.size() * 2 / 5), cutAfter(body, body.size() * 4 / 5),
                    answer(200, body)};
        case Truncated: return {answer(200, body.substr(0, body.size() / 3))};
        case Endless: return {answer(200, {}, Delivery::Endless)};
        case WrongBytes:
            for (std::size_t at = 0; at < changed.size(); at += 13) changed[at] ^= 0x20;
            return {answer(200, changed)};
        case Bom: return {answer(200, "\xEF\xBB\xBF" + body)};
        case HugeLine: return {answer(200, std::string(10 << 20, 'A') + "\n" + body)};
        default:  // Vanish
            return {answer(200, "DELETE = ORV.zip\r\nDELETE = Astrovance\\" +
                                    testdata::backslashed(made.incFiles.front()))};
        }
        // clang-format on
    }

    // One session in a child process; its exit status, or -1 when it crashed.
    int runSession(bool withFault) {
        const pid_t child = fork();
        if (child == 0) session(withFault);
        int status = 0;
        waitpid(child, &status, 0);
        if (WIFEXITED(status)) return WEXITSTATUS(status);
        ADD_FAILURE() << "the session crashed with signal " << WTERMSIG(status);
        return -1;
    }

    [[noreturn]] void session(bool withFault) {
        setStallSeconds(1);
        setRetryPauseUnit(std::chrono::milliseconds(1));
        if (withFault && fault == ReadOnlyExe && (setgid(65534) != 0 || setuid(65534) != 0))
            _exit(1);
        const FileSizeLimit full(withFault ? diskLimit : 8 << 20);
        {
            HttpServer http;
            http.serveFolder("", server);
            for (const auto& [path, text] : serviceAnswers) http.script(path, {answer(200, text)});
            if (withFault && !target.empty()) http.script(target, faulty());
            // Nothing listens on port 1.
            const std::string downloadServer =
                withFault && fault == Down ? "http://127.0.0.1:1" : http.url();
            overrideEndpoints(downloadServer, http.url());
            fs::current_path(root);
            patchThreadFrom(downloadServer);
            syncGameSettings(http.url());
            syncAccount(http.url());
            startGame(http.url());
        }
        _exit(sessionDone);
    }

    // Empty when every file of 1.1 is in place with its checksum; else one that is not.
    std::string notYetCurrent() const {
        for (const auto& file : made.currentFiles) {
            const fs::path path = root / "Astrovance" / file.path;
            // The game start patches two bytes of the executable.
            if (!fs::exists(path) || (file.path != testdata::executablePath &&
                                      formatChecksum(hashFile(path.string())) != file.checksum))
                return file.path;
        }
        return "";
    }
};

TEST_P(Session, Survives) {
    const Row& row = GetParam();
    const std::vector<fs::path> own = {root, fs::path(userFolder.get()).parent_path()};
    const auto outside = snapshot(dir.path(), own), installed = snapshot(root, {});
    // The checksums a game file may have: before the session, at 1.0, at 1.1.
    std::map<std::string, std::vector<std::string>> known;
    for (const auto& [path, content] : installed)
        known[fs::relative(path, root).generic_string()].push_back(checksumText(content));
    for (const auto& files : {made.fullFiles, made.currentFiles})
        for (const auto& file : files) known["Astrovance/" + file.path].push_back(file.checksum);
    const std::string versionBefore =
        IniDocument::getValue(clientSettingsPath.get(), "CLIENT", "Version");

    const int status = runSession(true);
    const std::vector<std::string> log = logMessages();
    std::string logText;
    for (const auto& line : log) logText += line.substr(0, 200) + "\n";
    EXPECT_EQ(status, row.flags & Quits ? 0 : sessionDone) << logText;
    const auto count = [&](const std::string& start) {
        return std::count_if(log.begin(), log.end(),
                             [&](const auto& line) { return line.starts_with(start); });
    };
    for (const auto& [start, least] : row.log) EXPECT_GE(count(start), least) << start << logText;
    EXPECT_EQ(count("Patch run failed"), 0) << logText;
    EXPECT_EQ(snapshot(dir.path(), own), outside) << "written outside its folders";

    // Every game file holds what it held before or what one of the versions gives it: nothing cut
    // short, nothing the server sent wrong. Beside them, only after ten failed transfers, what
    // arrived of one to be resumed. None is lost but what the update removes.
    for (const auto& [path, content] : snapshot(root, {})) {
        const std::string name = fs::relative(path, root).generic_string();
        if (fs::is_directory(path) || name == "ORV.zip" || name == "Launcher.exe" ||
            name.ends_with("Astrovance.log") || name == "Astrovance/" + testdata::executablePath ||
            (name.ends_with(".orv-partial") && (row.flags & Quits)))
            continue;
        const auto found = known.find(name);
        ASSERT_NE(found, known.end()) << "unknown file " << name << logText;
        EXPECT_NE(std::count(found->second.begin(), found->second.end(), checksumText(content)), 0)
            << name << " holds bytes of no version" << logText;
    }
    for (const auto& [path, content] : installed) {
        const std::string name = fs::relative(path, root).generic_string();
        EXPECT_TRUE(fs::exists(path) ||
                    std::count(made.removedFiles.begin(), made.removedFiles.end(),
                               name.substr(name.find('/') + 1)))
            << name << " lost";
    }

    // A version is recorded only for an installation that has it.
    const std::string version =
        IniDocument::getValue(clientSettingsPath.get(), "CLIENT", "Version");
    if (version == made.incVersion)
        EXPECT_EQ(notYetCurrent(), "") << logText;
    else
        EXPECT_TRUE(version == versionBefore || version == made.fullVersion) << version;
    EXPECT_EQ(IniDocument::getValue(clientSettingsPath.get(), "CLIENT", "token"), token);
    if (row.flags & Current) {
        EXPECT_EQ(version, made.incVersion) << logText;
        EXPECT_EQ(formatChecksum(hashFile((root / "ORV.zip").string())), made.archiveChecksum);
    }

    // The next start, with the server and the disk well again, finishes what the faulty one left.
    useUserFolder(dir);
    clientToken.set(token);
    ASSERT_EQ(runSession(false), sessionDone) << logMessages().size();
    EXPECT_EQ(IniDocument::getValue(clientSettingsPath.get(), "CLIENT", "Version"),
              made.incVersion);
    EXPECT_EQ(notYetCurrent(), "");
}

INSTANTIATE_TEST_SUITE_P(Rows, Session, testing::ValuesIn(rows),
                         [](const auto& info) { return std::string(info.param.name); });

#ifdef ORV_DISK_FAULTS
// A full disk while the settings are saved: the write reports its failure, and the file keeps its
// old bytes with no temporary file left beside it.
TEST(DiskFull, SettingsFileKeptWhole) {
    TempDir dir;
    useUserFolder(dir);
    const std::string path = clientSettingsPath.get(), settings = "[CLIENT]\r\ntoken=5eed\r\n";
    writeFile(path, settings);
    {
        const FileSizeLimit full(settings.size() + 16);
        EXPECT_FALSE(IniDocument::setValue(path, "Config", "Huge", std::string(4096, 'h')));
    }
    EXPECT_EQ(readFile(path), settings);
    EXPECT_EQ(std::count_if(fs::directory_iterator(fs::path(path).parent_path()), {},
                            [](const auto& entry) {
                                return entry.path().filename().string().starts_with("Client");
                            }),
              1);
}
#endif

}  // namespace
