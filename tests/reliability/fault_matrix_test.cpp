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
#include <thread>
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
const std::string html = "<!DOCTYPE html>\n<html><head><title>502 Bad Gateway</title></head>"
                         "<body><h1>Bad Gateway</h1><p>nginx</p></body></html>\n";
// Targets on the download server; incFile stands for the inc update's first file.
const std::string versionIni = "/version.ini", incIni = "/updates/1.1/hashes.ini",
                  incFile = "<inc file>", fullIni = "/updates/1.0/hashes.ini",
                  fullInfo = "/updates/1.0/full.ini", zip = "/updates/1.0/ORV.zip",
                  prePatch = "/updates/1.1/PrePatch.ini", postPatch = "/updates/1.1/PostPatch.ini",
                  fullPrePatch = "/updates/1.0/PrePatch.ini";

enum class Fault {
    Status500, Status404, Html, CutOff, Endless, Truncated, Bom, Crlf, HugeLine, Outage, WrongBytes,
    CutTwice, DamagedEntry, Down,
    DiskFull, ReadOnlyExe, Vanish,  // disk faults
};
using enum Fault;

using Log = std::vector<std::pair<std::string, int>>;  // message prefix, least number of lines
const std::string fetchFailed = "curl_easy_perform() failed: ";
const Log retried = {{fetchFailed, 3}};
const Log tenFailures = {{"Failed to download file. CURL error: ", 10}};
const Log tenRefusals = {{"Download refused: checksum ", 10}};
const Log resumed = {{"Resuming download at byte ", 1}};
const Log unchecked = {{"No version from the download server: the installation was not checked", 1}};
const Log incomplete = {{"Update incomplete: ", 1}};
const Log zipFailed = {{"Failed to download ZIP correctly after 3 attempts.", 1}};
const Log noSettings = {{"Error: Unable to retrieve game settings. Server unreachable or data unreadable.", 1}};
const Log badAccount = {{"Error: Invalid account data received.", 1}};
[[maybe_unused]] Log operator+(Log a, const Log& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

enum Flags {
    Quits = 1,    // ends the launcher (status 0)
    Current = 2,  // ends at the server's version
};

struct Row {
    const char* name;
    std::string target;  // whose answer is faulty
    Fault fault;
    Log log;
    int flags = 0;
};
void PrintTo(const Row& row, std::ostream* out) { *out << row.name; }

#ifndef ORV_DISK_FAULTS
// The archive rows start from an empty installation, so that the full update runs first.
const Row rows[] = {
    // The version file: a failure leaves the installation and its recorded version alone.
    {"versionFile500", versionIni, Status500, Log{{"HTTP Error: 500 ", 3}} + unchecked},
    {"versionFileHtml", versionIni, Html, unchecked},
    {"versionFileTruncated", versionIni, Truncated, {}},
    {"versionFileHugeLine", versionIni, HugeLine, {}, Current},
    {"versionFileBom", versionIni, Bom, {}, Current},
    {"versionFileCrlf", versionIni, Crlf, {}, Current},
    {"downloadServerDown", versionIni, Down, Log{{fetchFailed + "Couldn't connect to server", 3}} + unchecked},
    // The inc manifest: an update whose file list did not arrive is not done.
    {"incManifest500", incIni, Status500, Log{{"HTTP Error: 500 ", 3}} + incomplete},
    {"incManifestHtml", incIni, Html, incomplete},
    // A byte-order mark belongs to the first key, which then names no file on the server.
    {"incManifestBom", incIni, Bom, tenFailures, Quits},
    {"incManifestCrlf", incIni, Crlf, {}, Current},
    {"incManifestHugeLine", incIni, HugeLine, {}, Current},
    // One file of the inc update: what fails ten times ends the launcher, the old file kept.
    {"incFile404", incFile, Status404, tenFailures, Quits},
    // A transfer that breaks off is taken up where it broke, so it ends whole.
    {"incFileCutTwice", incFile, CutTwice, Log{{"Resuming download at byte ", 2}}, Current},
    {"incFileEndless", incFile, Endless, tenFailures, Quits},
    {"incFileWrongBytes", incFile, WrongBytes, tenRefusals, Quits},
    // Growing pauses between attempts outlast a short outage.
    {"incFileOutage", incFile, Outage, {{"Failed to download file. CURL error: No error, HTTP code: 503", 1}}, Current},
    // The full update's manifest and checksum file.
    {"fullManifest500", fullIni, Status500, Log{{"HTTP Error: 500 ", 3}} + incomplete},
    {"fullManifestHtml", fullIni, Html, incomplete},
    {"fullInfo404", fullInfo, Status404, zipFailed, Current},
    // The archive: bytes that are not the archive never replace anything.
    {"archive404", zip, Status404, tenFailures, Quits},
    {"archiveCutTwice", zip, CutTwice, Log{{"Resuming download at byte ", 2}}, Current},
    {"archiveTruncated", zip, Truncated, zipFailed + incomplete},
    {"archiveDamagedEntry", zip, DamagedEntry, Log{{"Extraction failed: Astrovance/", 1}} + incomplete},
    // A script the server fails to deliver leaves its update undone; one it has not is no error.
    {"prePatch500", prePatch, Status500, Log{{"HTTP Error: 500 ", 3}} + incomplete},
    {"prePatch404", prePatch, Status404, {{"HTTP Error: 404 ", 3}}, Current},
    {"prePatchHtml", prePatch, Html, {}, Current},
    {"postPatchCutOff", postPatch, CutOff, retried + incomplete},
    {"postPatchHugeLine", postPatch, HugeLine, {}, Current},
    // A bad answer of the web service writes nothing.
    {"settings500", settingsUrl, Status500, noSettings, Current},
    {"settingsBom", settingsUrl, Bom, {}, Current},  // JSON allows the mark; the reader skips it
    {"account404", accountUrl, Status404,
     {{"The account server is not reachable or no data could be read. Please contact an administrator.", 1}}, Current},
    {"accountHtml", accountUrl, Html, badAccount, Current},
    // The game start's server list: ten failed transfers end the launcher before the game.
    {"lanList404", lanUrl, Status404, tenFailures, Quits | Current},
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
    {"filesVanishAfterTheScan", fullPrePatch, Vanish, {}, Current},
};
#endif

// Every file, folder and link below `folder` with its content, skipping the subtrees in `skip`.
std::map<fs::path, std::string> snapshot(const fs::path& folder, const std::vector<fs::path>& skip) {
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
        if (fault == ReadOnlyExe && geteuid() != 0) GTEST_SKIP() << "needs root to become a user whom permissions stop";
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
        const std::string version = fault == DiskFull ? "0.9" : made.installedVersion.empty() ? "0.0.0" : made.installedVersion;
        writeFile(clientSettingsPath.get(), "[CLIENT]\r\ntoken=" + token + "\r\nVersion=" + version +
                                                "\r\n[Config]\r\nUpdateLanList=true\r\n");
        clientToken.set(token);
        target = GetParam().target == incFile ? "/updates/1.1/" + made.incFiles.front() : GetParam().target;
        if (fault == DiskFull) {
            // The largest file of the archive, not the executable, which the game start changes.
            const auto size = [](const auto& file) { return file.path == testdata::executablePath ? 0 : file.size; };
            const auto largest = std::max_element(made.fullFiles.begin(), made.fullFiles.end(),
                                                  [&](const auto& a, const auto& b) { return size(a) < size(b); });
            writeFile(root / "Astrovance" / largest->path, "damaged but whole");
            diskLimit = largest->size / 2;
        }
        if (fault == ReadOnlyExe) {
            // Everything belongs to the player but the executable's folder, which the inc update changes.
            for (const auto& entry : fs::recursive_directory_iterator(dir.path())) lchown(entry.path().c_str(), 65534, 65534);
            ASSERT_EQ(chown(dir.path().c_str(), 65534, 65534), 0);
            const fs::path locked = root / "Astrovance" / "EXE";
            for (const auto& entry : fs::directory_iterator(locked)) ASSERT_EQ(chown(entry.path().c_str(), 0, 0), 0);
            ASSERT_EQ(chown(locked.c_str(), 0, 0), 0);
            fs::permissions(locked, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                            fs::perm_options::remove);
        }
    }

    std::vector<HttpAnswer> faulty() const {
        const auto known = serviceAnswers.find(target);
        const std::string body = known != serviceAnswers.end() ? known->second
                                 : fs::exists(server / target.substr(1)) ? readFile(server / target.substr(1)) : "";
        std::string changed = body;
        switch (fault) {
        case Status500: return {answer(500, "broken")};
        case Status404: return {answer(404, "not found")};
        case Html: return {answer(200, html)};
        case CutOff: return {answer(200, body, Delivery::CutOff)};
        case Endless: return {answer(200, {}, Delivery::Endless)};
        case Bom: return {answer(200, "\xEF\xBB\xBF" + body)};
        case Crlf:  // the server writes CR LF; here every second line ends in a bare LF
            changed.clear();
            for (int line = 0; char c : body)
                if (c != '\r' || ++line % 2) changed += c;
            return {answer(200, changed)};
        case HugeLine: return {answer(200, std::string(10 << 20, 'A') + "\n" + body)};
        case Truncated: return {answer(200, body.substr(0, body.size() / 3))};
        case WrongBytes:
            for (std::size_t at = 0; at < changed.size(); at += 13) changed[at] ^= 0x20;
            return {answer(200, changed)};
        case CutTwice:
            return {cutAfter(body, body.size() * 2 / 5), cutAfter(body, body.size() * 4 / 5), answer(200, body)};
        case DamagedEntry: return {answer(200, damagedArchive())};
        case Vanish:
            return {answer(200, "DELETE = ORV.zip\r\nDELETE = Astrovance\\" +
                                    testdata::backslashed(made.incFiles.front()) + "\r\n")};
        default: return {answer(200, body)};
        }
    }

    // The archive with the data of its first entry damaged in the middle: it reads short of its
    // checksum.
    std::string damagedArchive() const {
        std::string bytes = readFile(server / zip.substr(1));
        for (std::size_t at = 4000; at < 5000; ++at) bytes[at] = static_cast<char>(bytes[at] ^ 0x5a);
        return bytes;
    }

    // One session in a child process; its exit status.
    int runSession(bool withFault) {
        const pid_t child = fork();
        if (child == 0) session(withFault);
        int status = 0;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(4);
        while (waitpid(child, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                kill(child, SIGKILL);
                waitpid(child, &status, 0);
                ADD_FAILURE() << "the session hung";
                return -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        if (WIFEXITED(status)) return WEXITSTATUS(status);
        ADD_FAILURE() << "the session crashed with signal " << WTERMSIG(status);
        return -1;
    }

    [[noreturn]] void session(bool withFault) {
        setStallSeconds(1);
        // Long enough for ten attempts to outlast the outage row's outage.
        setRetryPauseUnit(std::chrono::milliseconds(withFault && fault == Outage ? 60 : 1));
        if (withFault && fault == ReadOnlyExe && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(1);
        const FileSizeLimit full(withFault ? diskLimit : 8 << 20);
        {
            HttpServer http;
            http.serveFolder("", server);
            for (const auto& [path, text] : serviceAnswers) http.script(path, {answer(200, text)});
            std::string downloadServer = http.url();
            if (withFault && fault == Outage)
                http.failFor(target, std::chrono::milliseconds(300), 503);
            else if (withFault && fault == Down)
                downloadServer = "http://127.0.0.1:1";  // nothing listens there
            else if (withFault && !target.empty())
                http.script(target, faulty());
            if (withFault && fault == DamagedEntry)
                http.script(fullInfo, {answer(200, "full.zip = " + checksumText(damagedArchive()) + "\r\n")});
            overrideEndpoints(downloadServer, http.url());
            fs::current_path(root);
            patchThreadFrom(downloadServer);
            syncGameSettings(http.url());
            syncAccount(http.url());
            startGame(http.url());
        }
        _exit(sessionDone);
    }

    // True when every game file of `files` is there with its checksum; else names one that is not.
    bool installationIsAt(const std::vector<testdata::GameFile>& files, std::string* missing) const {
        for (const auto& file : files) {
            const fs::path path = root / "Astrovance" / file.path;
            // The game start patches two bytes of the executable.
            if (!fs::exists(path) || (file.path != testdata::executablePath &&
                                      formatChecksum(hashFile(path.string())) != file.checksum)) {
                *missing = file.path;
                return false;
            }
        }
        return true;
    }
};

TEST_P(Session, Survives) {
    const Row& row = GetParam();
    const std::vector<fs::path> own = {root, fs::path(userFolder.get()).parent_path()};
    const auto before = snapshot(dir.path(), own);
    // The checksums a game file may have: before the session, at 1.0, at 1.1.
    std::map<std::string, std::vector<std::string>> known;
    const auto installed = snapshot(root, {});
    for (const auto& [path, content] : installed)
        known[fs::relative(path, root).generic_string()].push_back(checksumText(content));
    for (const auto& files : {made.fullFiles, made.currentFiles})
        for (const auto& file : files) known["Astrovance/" + file.path].push_back(file.checksum);
    const std::string versionBefore = IniDocument::getValue(clientSettingsPath.get(), "CLIENT", "Version");

    const int status = runSession(true);
    ASSERT_NE(status, -1);
    const std::vector<std::string> log = logMessages();
    std::string logText;
    for (const auto& line : log) logText += line.substr(0, 200) + "\n";
    const auto count = [&](const std::string& prefix) {
        return std::count_if(log.begin(), log.end(), [&](const std::string& line) { return line.rfind(prefix, 0) == 0; });
    };
    EXPECT_EQ(status, row.flags & Quits ? 0 : sessionDone) << logText;
    for (const auto& [prefix, least] : row.log) EXPECT_GE(count(prefix), least) << prefix << logText;
    EXPECT_EQ(count("Patch run failed"), 0) << logText;
    EXPECT_EQ(snapshot(dir.path(), own), before) << "written outside its folders";

    // Every game file holds what it held before or what one of the versions gives it: nothing cut
    // short, nothing the server sent wrong. Beside them, only after ten failed transfers, what
    // arrived of one to be resumed.
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
    for (const auto& [path, content] : installed) {  // and none is lost but what the update removes
        const std::string name = fs::relative(path, root).generic_string();
        EXPECT_TRUE(fs::exists(path) || std::count(made.removedFiles.begin(), made.removedFiles.end(),
                                                   name.substr(name.find('/') + 1))) << name << " lost";
    }

    // A version is recorded only for an installation that has it.
    const std::string version = IniDocument::getValue(clientSettingsPath.get(), "CLIENT", "Version");
    std::string missing;
    if (version == made.incVersion)
        EXPECT_TRUE(installationIsAt(made.currentFiles, &missing)) << missing << logText;
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
    EXPECT_EQ(IniDocument::getValue(clientSettingsPath.get(), "CLIENT", "Version"), made.incVersion);
    EXPECT_TRUE(installationIsAt(made.currentFiles, &missing)) << missing;
}

INSTANTIATE_TEST_SUITE_P(Rows, Session, testing::ValuesIn(rows),
                         [](const auto& info) { return std::string(info.param.name); });

#ifdef ORV_DISK_FAULTS
// A full disk while the settings are saved: the write reports its failure, and the file keeps its
// old bytes with no temporary file left beside it.
TEST(DiskFull, SettingsFileKeptWhole) {
    TempDir dir;
    useUserFolder(dir);
    const std::string path = clientSettingsPath.get(), settings = "[CLIENT]\r\ntoken=5eed\r\nVersion=1.0\r\n";
    writeFile(path, settings);
    {
        const FileSizeLimit full(settings.size() + 16);
        EXPECT_FALSE(IniDocument::setValue(path, "Config", "Huge", std::string(4096, 'h')));
    }
    EXPECT_EQ(readFile(path), settings);
    EXPECT_EQ(std::count_if(fs::directory_iterator(fs::path(path).parent_path()), {},
                            [](const auto& entry) { return entry.path().filename().string().starts_with("Client"); }),
              1);
}
#endif

}  // namespace
