// A whole session (patch run, settings and account sync, game start) against a hostile server, one
// row per request target and fault. Each row runs in a child process, because ten failed transfers
// end the launcher, and is judged from outside: how the child ended, its log, what is on disk.
// Then a second session against the same server without the fault must finish the update.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <archive.h>
#include <archive_entry.h>

#include <algorithm>
#include <chrono>
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
const std::string token = "f00dcafe";
const std::string service = "/launcher_client/index.php?a=";
const std::string settingsUrl = service + "getgamesettings&token=" + token;
const std::string accountUrl = service + "getaccount&token=" + token;
const std::string lanUrl = service + "getlanserver&token=" + token;
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
                  prePatch = "/updates/1.1/PrePatch.ini", postPatch = "/updates/1.1/PostPatch.ini";

enum class Fault {
    Status500, Status503, Status404, Empty, Html, Reset, CutOff, LongLength, ShortLength, Endless,
    RedirectLoop, Stall, Bom, Crlf, HugeLine, UnsafeKeys, TruncatedZip, CorruptZip, ZipDotDot,
    ZipAbsolute, ZipSymlink, WrongTypes, LineBreakInValue, Outage, WrongBytes, CutTwice,
    RangeIgnored, DamagedEntry, Down,
};
using enum Fault;

using Log = std::vector<std::pair<std::string, int>>;  // message prefix, least number of lines
const std::string fetchFailed = "curl_easy_perform() failed: ";
const Log retried = {{fetchFailed, 3}};
const Log tenFailures = {{"Failed to download file. CURL error: ", 10}};
const Log tenRefusals = {{"Download refused: checksum ", 10}};
const Log resumed = {{"Resuming download at byte ", 2}};
const Log unchecked = {{"No version from the download server: the installation was not checked", 1}};
const Log incomplete = {{"Update incomplete: ", 1}};
const Log zipFailed = {{"Failed to download ZIP correctly after 3 attempts.", 1}};
const std::string unsafe = "Unsafe path in manifest skipped: ";
const Log badSettings = {{"Error updating game settings: Invalid game settings received.", 1}};
const Log noSettings = {
    {"Error: Unable to retrieve game settings. Server unreachable or data unreadable.", 1}};
const Log badAccount = {{"Error: Invalid account data received.", 1}};

enum Flags {
    Quits = 1,    // ends the launcher (status 0)
    Current = 2,  // ends at the server's version
    Hostile = 4,  // the server's content itself is bad: no later session can finish the update
};

struct Row {
    const char* name;
    std::string target;
    Fault fault;
    Log log;
    int flags = 0;
};

void PrintTo(const Row& row, std::ostream* out) { *out << row.name; }

// The archive rows start from an empty installation, so that the full update runs first.
const Row rows[] = {
    // The version file: a failure leaves the installation and its recorded version alone.
    {"versionFile500", versionIni, Status500, {{"HTTP Error: 500 ", 3}, unchecked[0]}},
    {"versionFile503", versionIni, Status503, {{"HTTP Error: 503 ", 3}}},
    {"versionFile404", versionIni, Status404, {{"HTTP Error: 404 ", 3}}},
    {"versionFileEmpty", versionIni, Empty, unchecked},
    {"versionFileHtml", versionIni, Html, unchecked},
    {"versionFileReset", versionIni, Reset, retried},
    {"versionFileCutOff", versionIni, CutOff, retried},
    {"versionFileLongLength", versionIni, LongLength, retried},
    {"versionFileShortLength", versionIni, ShortLength, {}},
    {"versionFileEndless", versionIni, Endless, retried},
    {"versionFileRedirectLoop", versionIni, RedirectLoop,
     {{fetchFailed + "Number of redirects hit maximum amount", 3}}},
    {"versionFileStall", versionIni, Stall, {{fetchFailed + "Timeout was reached", 3}}},
    {"versionFileHugeLine", versionIni, HugeLine, {}, Current},
    {"versionFileBom", versionIni, Bom, {}, Current},
    {"versionFileCrlf", versionIni, Crlf, {}, Current},
    {"downloadServerDown", versionIni, Down,
     {{fetchFailed + "Couldn't connect to server", 3}, unchecked[0]}},
    // The inc manifest: an update whose file list did not arrive is not done.
    {"incManifest500", incIni, Status500, {{"HTTP Error: 500 ", 3}, incomplete[0]}},
    {"incManifestHtml", incIni, Html, incomplete},
    {"incManifestReset", incIni, Reset, {retried[0], incomplete[0]}},
    {"incManifestEndless", incIni, Endless, {retried[0], incomplete[0]}},
    // A byte-order mark belongs to the first key, which then names no file on the server.
    {"incManifestBom", incIni, Bom, tenFailures, Quits},
    {"incManifestCrlf", incIni, Crlf, {}, Current},
    {"incManifestHugeLine", incIni, HugeLine, {}, Current},
    {"incManifestUnsafeKeys", incIni, UnsafeKeys, {{unsafe, 4}}, Current},
    // One file of the inc update: what fails ten times ends the launcher, the old file kept.
    {"incFile404", incFile, Status404, tenFailures, Quits},
    {"incFile500", incFile, Status500, tenFailures, Quits},
    // A transfer that breaks off is taken up where it broke, so it ends whole.
    {"incFileReset", incFile, Reset, {{"Resuming download at byte ", 1}}, Current},
    // The body came whole before the connection closed short; its checksum proves it.
    {"incFileLongLength", incFile, LongLength, {}, Current},
    {"incFileStall", incFile, Stall, {{"Resuming download at byte ", 1}}, Current},
    {"incFileEndless", incFile, Endless, tenFailures, Quits},
    {"incFileRedirectLoop", incFile, RedirectLoop, tenFailures, Quits},
    {"incFileShortLength", incFile, ShortLength, tenRefusals, Quits},
    {"incFileWrongBytes", incFile, WrongBytes, tenRefusals, Quits},
    {"incFileOutage", incFile, Outage, {{"Failed to download file. CURL error: No error, HTTP code: 503", 1}}, Current},
    {"incFileCutTwice", incFile, CutTwice, resumed, Current},
    {"incFileRangeIgnored", incFile, RangeIgnored, {{"Resuming download at byte ", 1}}, Current},
    // The full update's manifest and checksum file.
    {"fullManifest500", fullIni, Status500, {{"HTTP Error: 500 ", 3}, incomplete[0]}},
    {"fullManifestHtml", fullIni, Html, incomplete},
    {"fullManifestUnsafeKeys", fullIni, UnsafeKeys, {{unsafe, 4}}, Current},
    {"fullInfo404", fullInfo, Status404, zipFailed, Current},
    {"fullInfoHtml", fullInfo, Html, zipFailed, Current},
    // The archive: bytes that are not the archive never replace anything.
    {"archive404", zip, Status404, tenFailures, Quits},
    {"archiveReset", zip, Reset, {{"Resuming download at byte ", 1}}, Current},
    {"archiveTruncated", zip, TruncatedZip, {zipFailed[0], incomplete[0]}},
    {"archiveCorrupt", zip, CorruptZip, {zipFailed[0], incomplete[0]}},
    {"archiveCutTwice", zip, CutTwice, resumed, Current},
    {"archiveDamagedEntry", zip, DamagedEntry,
     {{"Extraction failed: Astrovance/", 1}, incomplete[0]}},
    {"archiveEntryWithDotDot", zip, ZipDotDot, {{unsafe, 1}}, Hostile},
    {"archiveEntryAbsolute", zip, ZipAbsolute, {{unsafe, 1}}, Hostile},
    {"archiveEntryThroughSymlink", zip, ZipSymlink, {{"Extraction refused: ", 1}}, Hostile},
    // A script the server fails to deliver leaves its update undone; one it has not is no error.
    {"prePatch500", prePatch, Status500, {{"HTTP Error: 500 ", 3}, incomplete[0]}},
    {"prePatch404", prePatch, Status404, {{"HTTP Error: 404 ", 3}}, Current},
    {"prePatchHtml", prePatch, Html, {}, Current},
    {"postPatchReset", postPatch, Reset, {retried[0], incomplete[0]}},
    {"postPatchHugeLine", postPatch, HugeLine, {}, Current},
    // A bad answer of the web service writes nothing.
    {"settings500", settingsUrl, Status500, noSettings, Current},
    {"settingsEmpty", settingsUrl, Empty, noSettings, Current},
    {"settingsHtml", settingsUrl, Html, badSettings, Current},
    {"settingsBom", settingsUrl, Bom, {}, Current},  // JSON allows the mark; the reader skips it
    {"settingsHugeLine", settingsUrl, HugeLine, badSettings, Current},
    {"settingsWrongTypes", settingsUrl, WrongTypes, badSettings, Current},
    {"settingsLineBreakInValue", settingsUrl, LineBreakInValue, badSettings, Current},
    {"settingsReset", settingsUrl, Reset, retried, Current},
    {"settingsEndless", settingsUrl, Endless, retried, Current},
    {"account404", accountUrl, Status404,
     {{"The account server is not reachable or no data could be read. Please contact an "
       "administrator.", 1}}, Current},
    {"accountHtml", accountUrl, Html, badAccount, Current},
    {"accountWrongTypes", accountUrl, WrongTypes, badAccount, Current},
    {"accountLineBreakInValue", accountUrl, LineBreakInValue, badAccount, Current},
    {"accountCutOff", accountUrl, CutOff, retried, Current},
    // The game start's server list: ten failed transfers end the launcher before the game.
    {"lanList404", lanUrl, Status404, tenFailures, Quits | Current},
    {"lanListReset", lanUrl, Reset, tenFailures, Quits | Current},
    {"lanListHtml", lanUrl, Html, {{"Startparameters: ", 1}}, Current},
};

// Every file, folder and link below `folder` with its content, skipping the subtrees in `skip`.
std::map<fs::path, std::string> snapshot(const fs::path& folder, const std::vector<fs::path>& skip) {
    std::map<fs::path, std::string> files;
    for (auto it = fs::recursive_directory_iterator(folder); it != fs::end(it); ++it) {
        if (std::count(skip.begin(), skip.end(), it->path())) {
            it.disable_recursion_pending();
        } else if (it->is_symlink()) {
            files[it->path()] = "-> " + fs::read_symlink(it->path()).string();
        } else {
            files[it->path()] = it->is_regular_file() ? readFile(it->path()) : "<folder>";
        }
    }
    return files;
}

struct ZipEntry {
    std::string name, content;  // content: the destination of a link
    bool link = false;
};

// A ZIP written as it is asked, names and links included.
void writeZip(const fs::path& path, const std::vector<ZipEntry>& entries) {
    archive* zip = archive_write_new();
    archive_write_set_format_zip(zip);
    archive_write_open_filename(zip, path.c_str());
    for (const auto& e : entries) {
        archive_entry* entry = archive_entry_new();
        archive_entry_set_pathname(entry, e.name.c_str());
        archive_entry_set_filetype(entry, e.link ? AE_IFLNK : AE_IFREG);
        archive_entry_set_perm(entry, 0644);
        if (e.link) archive_entry_set_symlink(entry, e.content.c_str());
        if (!e.link) archive_entry_set_size(entry, static_cast<la_int64_t>(e.content.size()));
        archive_write_header(zip, entry);
        archive_write_data(zip, e.content.data(), e.link ? 0 : e.content.size());
        archive_entry_free(entry);
    }
    archive_write_close(zip);
    archive_write_free(zip);
}

std::string checksumOf(const fs::path& file) { return formatChecksum(hashFile(file.string())); }

class FaultMatrix : public testing::TestWithParam<Row> {
protected:
    TempDir dir;  // nothing may change here but the installation and the user folder
    fs::path root = dir.path() / "Install", server = dir.path() / "Server";
    testdata::MadeInstall made;
    std::string target;

    void SetUp() override {
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
        writeFile(clientSettingsPath.get(),
                  "[CLIENT]\r\ntoken=" + token + "\r\nVersion=" +
                      (made.installedVersion.empty() ? "0.0.0" : made.installedVersion) +
                      "\r\n[Config]\r\nUpdateLanList=true\r\n");
        clientToken.set(token);
        target = GetParam().target == incFile ? "/updates/1.1/" + made.incFiles.front()
                                              : GetParam().target;
        writeHostileArchive(GetParam().fault);
    }

    // The archive and the full update's manifests, all agreeing on the hostile entries.
    void writeHostileArchive(Fault fault) {
        const std::string escape = (dir.path() / "escaped.txt").string();
        std::vector<ZipEntry> entries;
        std::string manifest;
        if (fault == ZipDotDot) {
            entries = {{"Astrovance/../../escaped.txt", "x"}};
            manifest = "..\\..\\escaped.txt = 8cdc1683\r\n";
        } else if (fault == ZipAbsolute) {
            entries = {{escape, "x"}};
            manifest = escape + " = 8cdc1683\r\n";
        } else if (fault == ZipSymlink) {  // a link that leads out, then a file "inside" it
            entries = {{"Astrovance/Linked", dir.path().string(), true},
                       {"Astrovance/Linked/escaped.txt", "x"}};
            manifest = "Linked = 1\r\nLinked\\escaped.txt = 8cdc1683\r\n";
        } else {
            return;
        }
        const fs::path folder = server / "updates/1.0";
        writeZip(folder / "ORV.zip", entries);
        writeFile(folder / "hashes.ini", manifest);
        writeFile(folder / "full.ini", "full.zip = " + checksumOf(folder / "ORV.zip") + "\r\n");
    }

    std::vector<HttpAnswer> faulty(Fault fault) const {
        const auto known = serviceAnswers.find(target);
        const std::string body = known != serviceAnswers.end() ? known->second
                                                               : readFile(server / target.substr(1));
        std::string changed = body;
        switch (fault) {
        case Status500: return {answer(500, "broken")};
        case Status503: return {answer(503, html)};
        case Status404: return {answer(404, "not found")};
        case Empty: return {answer(200)};
        case Html: return {answer(200, html)};
        case Reset: return {answer(200, body, Delivery::Reset)};
        case CutOff: return {answer(200, body, Delivery::CutOff)};
        case LongLength: return {answer(200, body, Delivery::LongLength)};
        case ShortLength: return {answer(200, body, Delivery::ShortLength)};
        case Stall: return {answer(200, body, Delivery::Stall)};
        case Endless: return {answer(200, {}, Delivery::Endless)};
        case RedirectLoop: return {redirectTo(target)};
        case Bom: return {answer(200, "\xEF\xBB\xBF" + body)};
        case Crlf:  // the server writes CR LF; here every second line ends in a bare LF
            changed.clear();
            for (int line = 0; char c : body)
                if (c != '\r' || ++line % 2) changed += c;
            return {answer(200, changed)};
        case HugeLine: return {answer(200, std::string(10 << 20, 'A') + "\n" + body)};
        case UnsafeKeys:
            return {answer(200, body + "..\\..\\escaped.txt = 1\r\n" +
                                    (dir.path() / "abs.txt").string() +
                                    " = 1\r\nC:\\Windows\\evil.dll = 1\r\n../escaped.txt = 1\r\n")};
        case TruncatedZip: return {answer(200, body.substr(0, body.size() / 3))};
        case CorruptZip:
            for (std::size_t at = 30; at < changed.size(); at += 97) changed[at] ^= 0x5a;
            return {answer(200, changed)};
        case WrongBytes:
            for (std::size_t at = 0; at < changed.size(); at += 13) changed[at] ^= 0x20;
            return {answer(200, changed)};
        case CutTwice:
            return {cutAfter(body, body.size() * 2 / 5), cutAfter(body, body.size() * 4 / 5),
                    answer(200, body)};
        case RangeIgnored: {
            HttpAnswer whole = answer(200, body);
            whole.ignoresRange = true;
            return {cutAfter(body, body.size() / 2), whole};
        }
        case DamagedEntry: return {answer(200, damagedArchive())};
        case WrongTypes:
            return {answer(200, R"({"error":0,"windowmode":true,"autoconnect":[1],)"
                                R"("update_lanlist":{},"use4gbvram":null,"runinbackground":1.5,)"
                                R"("MPAccountName":["x"],"MPAccountNameSig":{"a":"b"}})")};
        case LineBreakInValue:
            return {answer(200, R"({"error":"","windowmode":"true\n[CLIENT]\ntoken=stolen",)"
                                R"("autoconnect":"true","update_lanlist":"true","use4gbvram":"true",)"
                                R"("runinbackground":"true","MPAccountName":"Pilot\r\ntoken=x",)"
                                R"("MPAccountNameSig":"sig"})")};
        default: return {answer(200, body)};  // the fault is in the archive itself, or elsewhere
        }
    }

    // The full update's archive with the data of its first entry damaged in the middle, so that
    // it reads short of its checksum.
    std::string damagedArchive() const {
        std::string bytes = readFile(server / zip.substr(1));
        for (std::size_t at = 4000; at < 5000; ++at) bytes[at] = static_cast<char>(bytes[at] ^ 0x5a);
        return bytes;
    }

    // One session in a child process; its exit status.
    int runSession(bool withFault) {
        const pid_t child = fork();
        if (child == -1) return -1;
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
        if (!WIFEXITED(status)) {
            ADD_FAILURE() << "the session crashed with signal " << WTERMSIG(status);
            return -1;
        }
        return WEXITSTATUS(status);
    }

    [[noreturn]] void session(bool withFault) {
        setStallSeconds(1);
        // Long enough for ten attempts to outlast the outage row's outage.
        setRetryPauseUnit(std::chrono::milliseconds(withFault && GetParam().fault == Outage ? 60 : 1));
        const FileSizeLimit full(8 << 20);  // an endless body stops here, not at the end of the disk
        {
            HttpServer http;
            http.serveFolder("", server);
            for (const auto& [path, text] : serviceAnswers) http.script(path, {answer(200, text)});
            const Fault fault = GetParam().fault;
            std::string downloadServer = http.url();
            if (withFault && fault == Outage) {
                http.failFor(target, std::chrono::milliseconds(300), 503);
            } else if (withFault && fault == Down) {
                downloadServer = "http://127.0.0.1:1";  // nothing listens there
            } else if (withFault) {
                http.script(target, faulty(fault));
                if (fault == DamagedEntry)
                    http.script(fullInfo, {answer(200, "full.zip = " + checksumText(damagedArchive()) + "\r\n")});
            }
            overrideEndpoints(downloadServer, http.url());
            fs::current_path(root);
            patchThreadFrom(downloadServer);
            syncGameSettings(http.url());
            syncAccount(http.url());
            startGame(http.url());
        }
        _exit(sessionDone);
    }

    static std::string checksumText(const std::string& bytes) {
        return formatChecksum(continueChecksum(0, bytes.data(), bytes.size()));
    }

    // The checksums a game file may have: before the session, at 1.0, at 1.1.
    std::map<std::string, std::vector<std::string>> knownChecksums(
        const std::map<fs::path, std::string>& installed) const {
        std::map<std::string, std::vector<std::string>> known;
        for (const auto& [path, content] : installed)
            known[fs::relative(path, root).generic_string()].push_back(checksumText(content));
        for (const auto& file : made.fullFiles) known["Astrovance/" + file.path].push_back(file.checksum);
        for (const auto& file : made.currentFiles)
            known["Astrovance/" + file.path].push_back(file.checksum);
        return known;
    }

    // True when every game file of `files` is there with its checksum; else names one that is not.
    bool installationIsAt(const std::vector<testdata::GameFile>& files, std::string* missing) const {
        for (const auto& file : files) {
            const fs::path path = root / "Astrovance" / file.path;
            // The game start patches two bytes of the executable.
            if (file.path == testdata::executablePath ? !fs::exists(path)
                                                      : !fs::exists(path) || checksumOf(path) != file.checksum) {
                *missing = file.path;
                return false;
            }
        }
        return true;
    }
};

TEST_P(FaultMatrix, SessionSurvives) {
    const Row& row = GetParam();
    const std::vector<fs::path> own = {root, fs::path(userFolder.get()).parent_path()};
    const auto before = snapshot(dir.path(), own);
    const auto installed = snapshot(root, {});
    const std::string versionBefore = IniDocument::getValue(clientSettingsPath.get(), "CLIENT", "Version");

    const int status = runSession(true);
    ASSERT_NE(status, -1);
    const std::vector<std::string> log = logMessages();
    std::string logText;
    for (const auto& line : log) logText += line.substr(0, 200) + "\n";
    const auto count = [&](const std::string& prefix) {
        return std::count_if(log.begin(), log.end(),
                             [&](const std::string& line) { return line.rfind(prefix, 0) == 0; });
    };
    EXPECT_EQ(status, row.flags & Quits ? 0 : sessionDone) << logText;
    for (const auto& [prefix, least] : row.log) EXPECT_GE(count(prefix), least) << prefix << logText;
    EXPECT_EQ(count("Patch run failed"), 0) << logText;
    EXPECT_EQ(snapshot(dir.path(), own), before) << "written outside its folders";

    // Every game file holds what it held before or what one of the versions gives it: nothing
    // cut short, nothing the server sent wrong. Beside them, at most a transfer to be resumed.
    const auto known = knownChecksums(installed);
    for (const auto& [path, content] : snapshot(root, {})) {
        const std::string name = fs::relative(path, root).generic_string();
        if (fs::is_directory(path) || name == "ORV.zip" || name == "Launcher.exe" ||
            name.ends_with(".orv-partial") || name.ends_with("Astrovance.log") ||
            name == "Astrovance/" + testdata::executablePath)
            continue;
        const auto found = known.find(name);
        if (found == known.end() && (row.flags & Hostile)) continue;  // what the server listed
        ASSERT_NE(found, known.end()) << "unknown file " << name << logText;
        EXPECT_NE(std::count(found->second.begin(), found->second.end(), checksumText(content)), 0)
            << name << " holds bytes of no version" << logText;
    }

    // A version is recorded only for an installation that has it.
    const std::string version = IniDocument::getValue(clientSettingsPath.get(), "CLIENT", "Version");
    std::string missing;
    if (!(row.flags & Hostile)) {
        if (version == made.incVersion) {
            EXPECT_TRUE(installationIsAt(made.currentFiles, &missing)) << missing << logText;
        } else {
            EXPECT_TRUE(version == versionBefore || version == made.fullVersion) << version;
        }
    }
    EXPECT_EQ(IniDocument::getValue(clientSettingsPath.get(), "CLIENT", "token"), token);
    EXPECT_EQ(readFile(clientSettingsPath.get()).find("stolen"), std::string::npos);
    if (row.flags & Current) {
        EXPECT_EQ(version, made.incVersion) << logText;
    }
    if (row.flags & Hostile) return;

    // The next start, with the server well again, finishes what the faulty one left.
    useUserFolder(dir);
    clientToken.set(token);
    ASSERT_EQ(runSession(false), sessionDone) << logMessages().size();
    EXPECT_EQ(IniDocument::getValue(clientSettingsPath.get(), "CLIENT", "Version"), made.incVersion);
    EXPECT_TRUE(installationIsAt(made.currentFiles, &missing)) << missing;
}

INSTANTIATE_TEST_SUITE_P(Rows, FaultMatrix, testing::ValuesIn(rows),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
