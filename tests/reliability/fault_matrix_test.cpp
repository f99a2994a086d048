// A whole launcher session (patch run, settings and account sync, game start) against a hostile
// server: one row per request target and fault. Every row runs in a child process of its own,
// because a download that fails for good ends the process, and is then judged from outside: how
// the child ended, what it logged, and what it left on disk.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <archive.h>
#include <archive_entry.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <iostream>
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
#include "net/stall_limit.h"
#include "patch/patch_run.h"
#include "patch/patch_thread.h"
#include "testdata/make_install.h"
#include "tests/support/file_size_limit.h"
#include "tests/support/http_server.h"
#include "tests/support/temp_dir.h"

namespace fs = std::filesystem;

namespace {

constexpr int sessionDone = 42;         // the child's status after a session that ran to its end
constexpr int downloadFailedExit = 0;   // the launcher's own end after ten failed transfers
constexpr auto watchdog = std::chrono::seconds(240);
const std::string token = "f00dcafe";
const std::string settingsTarget = "/launcher_client/index.php?a=getgamesettings&token=" + token;
const std::string accountTarget = "/launcher_client/index.php?a=getaccount&token=" + token;
const std::string lanTarget = "/launcher_client/index.php?a=getlanserver&token=" + token;
const std::string goodSettings =
    R"({"error":"","windowmode":"true","autoconnect":"false","update_lanlist":"true",)"
    R"("use4gbvram":"true","runinbackground":"true"})";
const std::string goodAccount =
    R"({"error":"","MPAccountName":"Pilot","MPAccountNameSig":"c2lnbmF0dXJl"})";
const std::string html = "<!DOCTYPE html>\n<html><head><title>502 Bad Gateway</title></head>"
                         "<body><h1>Bad Gateway</h1><p>nginx</p></body></html>\n";

enum class Target {
    VersionFile, IncManifest, IncFile, FullManifest, FullInfo, Archive, PrePatch, PostPatch,
    Settings, Account, LanList,
};

// What the server does instead of its proper answer.
enum class Fault {
    Status500, Status503, Status404, Empty, Html, Reset, CutOff, LongLength, ShortLength, Endless,
    RedirectLoop, Stall, Bom, Crlf, HugeLine, UnsafeKeys, TruncatedZip, CorruptZip, ZipDotDot,
    ZipAbsolute, ZipSymlink, WrongTypes, LineBreakInValue,
};

enum class End { Session, DownloadFailed };

struct FaultRow {
    const char* name;
    Target target;
    Fault fault;
    End end = End::Session;
    std::vector<std::pair<std::string, int>> log;  // message prefix, least number of lines
    bool reachesCurrent = false;  // the installation ends at the server's version
    bool fresh = false;           // start from an empty installation (full archive first)
};

const char* const fetchFailed = "curl_easy_perform() failed: ";
const char* const downloadFailed = "Failed to download file. CURL error: ";

const FaultRow rows[] = {
    // The version file: every failure reads as "no version", which starts over from 0.0.0.
    {"versionFile500", Target::VersionFile, Fault::Status500, End::Session, {{"HTTP Error: 500 ", 3}}},
    {"versionFile503", Target::VersionFile, Fault::Status503, End::Session, {{"HTTP Error: 503 ", 3}}},
    {"versionFile404", Target::VersionFile, Fault::Status404, End::Session, {{"HTTP Error: 404 ", 3}}},
    {"versionFileEmpty", Target::VersionFile, Fault::Empty, End::Session, {}},
    {"versionFileHtml", Target::VersionFile, Fault::Html, End::Session, {}},
    {"versionFileReset", Target::VersionFile, Fault::Reset, End::Session, {{fetchFailed, 3}}},
    {"versionFileCutOff", Target::VersionFile, Fault::CutOff, End::Session, {{fetchFailed, 3}}},
    {"versionFileLongLength", Target::VersionFile, Fault::LongLength, End::Session, {{fetchFailed, 3}}},
    {"versionFileShortLength", Target::VersionFile, Fault::ShortLength, End::Session, {}},
    {"versionFileEndless", Target::VersionFile, Fault::Endless, End::Session, {{fetchFailed, 3}}},
    {"versionFileRedirectLoop", Target::VersionFile, Fault::RedirectLoop, End::Session,
     {{"curl_easy_perform() failed: Number of redirects hit maximum amount", 3}}},
    {"versionFileStall", Target::VersionFile, Fault::Stall, End::Session,
     {{"curl_easy_perform() failed: Timeout was reached", 3}}},
    {"versionFileHugeLine", Target::VersionFile, Fault::HugeLine, End::Session, {}, true},
    {"versionFileBom", Target::VersionFile, Fault::Bom, End::Session, {}, true},
    {"versionFileCrlf", Target::VersionFile, Fault::Crlf, End::Session, {}, true},
    // The inc update's manifest.
    {"incManifest500", Target::IncManifest, Fault::Status500, End::Session,
     {{"HTTP Error: 500 ", 3}, {"Total number of data to be processed: 0", 1}}},
    {"incManifestHtml", Target::IncManifest, Fault::Html, End::Session,
     {{"Total number of data to be processed: 0", 1}}},
    {"incManifestReset", Target::IncManifest, Fault::Reset, End::Session, {{fetchFailed, 3}}},
    {"incManifestEndless", Target::IncManifest, Fault::Endless, End::Session, {{fetchFailed, 3}}},
    // A byte-order mark belongs to the first key, which then names no file on the server.
    {"incManifestBom", Target::IncManifest, Fault::Bom, End::DownloadFailed, {{downloadFailed, 10}}},
    {"incManifestCrlf", Target::IncManifest, Fault::Crlf, End::Session, {}, true},
    {"incManifestHugeLine", Target::IncManifest, Fault::HugeLine, End::Session, {}, true},
    {"incManifestUnsafeKeys", Target::IncManifest, Fault::UnsafeKeys, End::Session,
     {{"Unsafe path in manifest skipped: ", 4}}, true},
    // One file of the inc update: ten failed transfers end the launcher.
    {"incFile404", Target::IncFile, Fault::Status404, End::DownloadFailed, {{downloadFailed, 10}}},
    {"incFile500", Target::IncFile, Fault::Status500, End::DownloadFailed, {{downloadFailed, 10}}},
    {"incFileReset", Target::IncFile, Fault::Reset, End::DownloadFailed, {{downloadFailed, 10}}},
    {"incFileLongLength", Target::IncFile, Fault::LongLength, End::DownloadFailed,
     {{downloadFailed, 10}}},
    {"incFileStall", Target::IncFile, Fault::Stall, End::DownloadFailed, {{downloadFailed, 10}}},
    {"incFileEndless", Target::IncFile, Fault::Endless, End::DownloadFailed, {{downloadFailed, 10}}},
    {"incFileRedirectLoop", Target::IncFile, Fault::RedirectLoop, End::DownloadFailed,
     {{downloadFailed, 10}}},
    {"incFileShortLength", Target::IncFile, Fault::ShortLength, End::Session, {}},
    // The full update's files.
    {"fullManifest500", Target::FullManifest, Fault::Status500, End::Session,
     {{"HTTP Error: 500 ", 3}, {"Total number of data: 0", 1}}, true},
    {"fullManifestHtml", Target::FullManifest, Fault::Html, End::Session, {}, true},
    {"fullManifestUnsafeKeys", Target::FullManifest, Fault::UnsafeKeys, End::Session,
     {{"Unsafe path in manifest skipped: ", 4}}, true},
    {"fullInfo404", Target::FullInfo, Fault::Status404, End::Session,
     {{"Failed to download ZIP correctly after 3 attempts.", 1}}, true},
    {"fullInfoHtml", Target::FullInfo, Fault::Html, End::Session,
     {{"Failed to download ZIP correctly after 3 attempts.", 1}}, true},
    {"archive404", Target::Archive, Fault::Status404, End::DownloadFailed, {{downloadFailed, 10}},
     false, true},
    {"archiveReset", Target::Archive, Fault::Reset, End::DownloadFailed, {{downloadFailed, 10}},
     false, true},
    {"archiveTruncated", Target::Archive, Fault::TruncatedZip, End::Session,
     {{"Failed to download ZIP correctly after 3 attempts.", 1}}, false, true},
    {"archiveCorrupt", Target::Archive, Fault::CorruptZip, End::Session,
     {{"Failed to download ZIP correctly after 3 attempts.", 1}}, false, true},
    {"archiveEntryWithDotDot", Target::Archive, Fault::ZipDotDot, End::Session,
     {{"Unsafe path in manifest skipped: ", 1}}, false, true},
    {"archiveEntryAbsolute", Target::Archive, Fault::ZipAbsolute, End::Session,
     {{"Unsafe path in manifest skipped: ", 1}}, false, true},
    {"archiveEntryThroughSymlink", Target::Archive, Fault::ZipSymlink, End::Session, {}, false, true},
    // The scripts: a missing or unreadable one is skipped.
    {"prePatch500", Target::PrePatch, Fault::Status500, End::Session, {{"HTTP Error: 500 ", 3}}},
    {"prePatchHtml", Target::PrePatch, Fault::Html, End::Session, {}},
    {"postPatchReset", Target::PostPatch, Fault::Reset, End::Session, {{fetchFailed, 3}}},
    {"postPatchHugeLine", Target::PostPatch, Fault::HugeLine, End::Session, {}},
    // The web service's answers: a bad one writes nothing.
    {"settings500", Target::Settings, Fault::Status500, End::Session,
     {{"Error: Unable to retrieve game settings. Server unreachable or data unreadable.", 1}}, true},
    {"settingsEmpty", Target::Settings, Fault::Empty, End::Session,
     {{"Error: Unable to retrieve game settings. Server unreachable or data unreadable.", 1}}, true},
    {"settingsHtml", Target::Settings, Fault::Html, End::Session,
     {{"Error updating game settings: Invalid game settings received.", 1}}, true},
    // The JSON reader skips a byte-order mark, as JSON allows.
    {"settingsBom", Target::Settings, Fault::Bom, End::Session, {}, true},
    {"settingsHugeLine", Target::Settings, Fault::HugeLine, End::Session,
     {{"Error updating game settings: Invalid game settings received.", 1}}, true},
    {"settingsWrongTypes", Target::Settings, Fault::WrongTypes, End::Session,
     {{"Error updating game settings: Invalid game settings received.", 1}}, true},
    {"settingsLineBreakInValue", Target::Settings, Fault::LineBreakInValue, End::Session,
     {{"Error updating game settings: Invalid game settings received.", 1}}, true},
    {"settingsReset", Target::Settings, Fault::Reset, End::Session, {{fetchFailed, 3}}, true},
    {"settingsEndless", Target::Settings, Fault::Endless, End::Session, {{fetchFailed, 3}}, true},
    {"account404", Target::Account, Fault::Status404, End::Session,
     {{"The account server is not reachable or no data could be read. Please contact an "
       "administrator.", 1}}, true},
    {"accountHtml", Target::Account, Fault::Html, End::Session,
     {{"Error: Invalid account data received.", 1}}, true},
    {"accountWrongTypes", Target::Account, Fault::WrongTypes, End::Session,
     {{"Error: Invalid account data received.", 1}}, true},
    {"accountLineBreakInValue", Target::Account, Fault::LineBreakInValue, End::Session,
     {{"Error: Invalid account data received.", 1}}, true},
    {"accountCutOff", Target::Account, Fault::CutOff, End::Session, {{fetchFailed, 3}}, true},
    // The server list of the game start: ten failed transfers end the launcher before the game.
    {"lanList404", Target::LanList, Fault::Status404, End::DownloadFailed, {{downloadFailed, 10}},
     true},
    {"lanListReset", Target::LanList, Fault::Reset, End::DownloadFailed, {{downloadFailed, 10}},
     true},
    {"lanListHtml", Target::LanList, Fault::Html, End::Session, {{"Startparameters: ", 1}}, true},
};

// Every file below `folder` with its content, skipping the subtrees in `skip`.
std::map<std::string, std::string> snapshot(const fs::path& folder, const std::vector<fs::path>& skip) {
    std::map<std::string, std::string> files;
    for (auto it = fs::recursive_directory_iterator(folder); it != fs::recursive_directory_iterator();
         ++it) {
        if (std::find(skip.begin(), skip.end(), it->path()) != skip.end()) {
            it.disable_recursion_pending();
            continue;
        }
        if (it->is_symlink()) {
            files[it->path().string()] = "-> " + fs::read_symlink(it->path()).string();
        } else if (it->is_regular_file()) {
            files[it->path().string()] = readFile(it->path());
        } else {
            files[it->path().string()] = "<folder>";
        }
    }
    return files;
}

std::vector<std::string> filesBelow(const fs::path& folder) {
    std::vector<std::string> files;
    if (!fs::exists(folder)) return files;
    for (const auto& entry : fs::recursive_directory_iterator(folder))
        if (entry.is_regular_file()) files.push_back(fs::relative(entry.path(), folder).string());
    return files;
}

// A ZIP written with libarchive as it is asked: names, links and all.
class HostileZip {
public:
    explicit HostileZip(const fs::path& path) : handle_(archive_write_new()) {
        archive_write_set_format_zip(handle_);
        archive_write_open_filename(handle_, path.string().c_str());
    }
    ~HostileZip() {
        archive_write_close(handle_);
        archive_write_free(handle_);
    }
    void file(const std::string& name, const std::string& content) {
        archive_entry* entry = archive_entry_new();
        archive_entry_set_pathname(entry, name.c_str());
        archive_entry_set_filetype(entry, AE_IFREG);
        archive_entry_set_perm(entry, 0644);
        archive_entry_set_size(entry, static_cast<la_int64_t>(content.size()));
        archive_write_header(handle_, entry);
        archive_write_data(handle_, content.data(), content.size());
        archive_entry_free(entry);
    }
    void link(const std::string& name, const std::string& destination) {
        archive_entry* entry = archive_entry_new();
        archive_entry_set_pathname(entry, name.c_str());
        archive_entry_set_filetype(entry, AE_IFLNK);
        archive_entry_set_perm(entry, 0777);
        archive_entry_set_symlink(entry, destination.c_str());
        archive_write_header(handle_, entry);
        archive_entry_free(entry);
    }

private:
    archive* handle_;
};

std::string checksumOf(const fs::path& file) { return formatChecksum(hashFile(file.string())); }

class FaultMatrix : public testing::TestWithParam<FaultRow> {
protected:
    TempDir dir;  // the sentinel parent: nothing may change here but the two folders below
    fs::path root = dir.path() / "Install";
    fs::path serverFolder = dir.path() / "Server";
    fs::path outside = dir.path() / "outside.txt";
    testdata::MadeInstall made;

    void SetUp() override {
        const FaultRow& row = GetParam();
        testdata::InstallOptions options;
        options.installDir = root;
        options.serverDir = serverFolder;
        options.seed = 11;
        options.files = 6;
        options.sizeMb = 0.25;
        options.blanksInNames = false;
        options.scenario = row.fresh ? testdata::Scenario::FreshFull : testdata::Scenario::BehindOneInc;
        made = testdata::makeInstall(options);
        fs::create_directories(root);
        useUserFolder(dir);
        writeFile(outside, "sentinel\n");
        writeFile(clientSettingsPath.get(),
                  "[CLIENT]\r\ntoken=" + token + "\r\nVersion=" +
                      (made.installedVersion.empty() ? std::string("0.0.0") : made.installedVersion) +
                      "\r\n[Config]\r\nUpdateLanList=true\r\n");
        clientToken.set(token);
        prepareServerFolder(row);
    }

    std::string serverFile(const std::string& path) const { return readFile(serverFolder / path.substr(1)); }

    // Faults that live in the files themselves: a hostile archive and its matching manifests.
    void prepareServerFolder(const FaultRow& row) {
        const fs::path fullFolder = serverFolder / "updates" / "1.0";
        const auto hostileArchive = [&](const std::function<void(HostileZip&)>& fill,
                                        const std::string& manifest) {
            const fs::path zip = fullFolder / "ORV.zip";
            fs::remove(zip);
            {
                HostileZip archive(zip);
                fill(archive);
            }
            writeFile(fullFolder / "hashes.ini", manifest);
            writeFile(fullFolder / "full.ini", "full.zip = " + checksumOf(zip) + "\r\n");
        };
        const std::string escape = (dir.path() / "escaped.txt").string();
        switch (row.fault) {
        case Fault::ZipDotDot:
            hostileArchive([](HostileZip& zip) { zip.file("Astrovance/../../escaped.txt", "x"); },
                           "..\\..\\escaped.txt = 8cdc1683\r\n");
            break;
        case Fault::ZipAbsolute:
            hostileArchive([&](HostileZip& zip) { zip.file(escape, "x"); },
                           escape + " = 8cdc1683\r\n");
            break;
        case Fault::ZipSymlink:
            // A link inside the game folder that leads out, then a file "inside" that link.
            hostileArchive(
                [&](HostileZip& zip) {
                    zip.link("Astrovance/Linked", dir.path().string());
                    zip.file("Astrovance/Linked/escaped.txt", "x");
                },
                "Linked = 1\r\nLinked\\escaped.txt = 8cdc1683\r\n");
            break;
        default:
            break;
        }
    }

    std::string targetPath(Target target) const {
        switch (target) {
        case Target::VersionFile: return "/version.ini";
        case Target::IncManifest: return made.incPath;
        case Target::IncFile: return "/updates/1.1/" + made.incFiles.front();
        case Target::FullManifest: return "/updates/1.0/hashes.ini";
        case Target::FullInfo: return "/updates/1.0/full.ini";
        case Target::Archive: return made.fullPath;
        case Target::PrePatch: return "/updates/1.1/PrePatch.ini";
        case Target::PostPatch: return "/updates/1.1/PostPatch.ini";
        case Target::Settings: return settingsTarget;
        case Target::Account: return accountTarget;
        case Target::LanList: return lanTarget;
        }
        return {};
    }

    std::string properBody(Target target) const {
        switch (target) {
        case Target::Settings: return goodSettings;
        case Target::Account: return goodAccount;
        case Target::LanList: return "[Servers]\r\nServer1=127.0.0.1\r\n";
        default: return serverFile(targetPath(target));
        }
    }

    std::vector<HttpAnswer> faultyAnswers(const FaultRow& row) const {
        const std::string target = targetPath(row.target);
        const std::string body = properBody(row.target);
        std::string lf = body;
        for (std::size_t at = 0; (at = lf.find("\r\n", at)) != std::string::npos;) lf.erase(at, 1);
        switch (row.fault) {
        case Fault::Status500: return {answer(500, "broken")};
        case Fault::Status503: return {answer(503, html)};
        case Fault::Status404: return {answer(404, "not found")};
        case Fault::Empty: return {answer(200)};
        case Fault::Html: return {answer(200, html)};
        case Fault::Reset: return {answer(200, body, Delivery::Reset)};
        case Fault::CutOff: return {answer(200, body, Delivery::CutOff)};
        case Fault::LongLength: return {answer(200, body, Delivery::LongLength)};
        case Fault::ShortLength: return {answer(200, body, Delivery::ShortLength)};
        case Fault::Endless: return {answer(200, {}, Delivery::Endless)};
        case Fault::RedirectLoop: return {redirectTo(target)};
        case Fault::Stall: return {answer(200, body, Delivery::Stall)};
        case Fault::Bom: return {answer(200, "\xEF\xBB\xBF" + body)};
        case Fault::Crlf: {
            std::string crlf;
            for (char c : lf) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
            return {answer(200, crlf)};
        }
        case Fault::HugeLine: return {answer(200, std::string(10 * 1024 * 1024, 'A') + "\n" + body)};
        case Fault::UnsafeKeys:
            return {answer(200, body + "..\\..\\escaped.txt = 1\r\n" + (dir.path() / "abs.txt").string() +
                                    " = 1\r\nC:\\Windows\\evil.dll = 1\r\n../escaped.txt = 1\r\n")};
        case Fault::TruncatedZip: return {answer(200, body.substr(0, body.size() / 3))};
        case Fault::CorruptZip: {
            std::string corrupt = body;
            for (std::size_t at = 30; at < corrupt.size(); at += 97) corrupt[at] ^= 0x5a;
            return {answer(200, corrupt)};
        }
        case Fault::WrongTypes:
            return {answer(200, R"({"error":0,"windowmode":true,"autoconnect":[1],"update_lanlist":{},)"
                                R"("use4gbvram":null,"runinbackground":1.5,"MPAccountName":["x"],)"
                                R"("MPAccountNameSig":{"a":"b"}})")};
        case Fault::LineBreakInValue:
            return {answer(200, R"({"error":"","windowmode":"true\n[CLIENT]\ntoken=stolen",)"
                                R"("autoconnect":"true","update_lanlist":"true","use4gbvram":"true",)"
                                R"("runinbackground":"true","MPAccountName":"Pilot\r\ntoken=x",)"
                                R"("MPAccountNameSig":"sig"})")};
        case Fault::ZipDotDot:
        case Fault::ZipAbsolute:
        case Fault::ZipSymlink: return {answer(200, body)};
        }
        return {answer(500)};
    }

    // The child: one whole session against a server that answers the row's target with its fault.
    [[noreturn]] void session(const FaultRow& row) {
        setStallSeconds(1);
        // An endless download stops at this size instead of at the end of the disk.
        const FileSizeLimit full(8 * 1024 * 1024);
        {
            HttpServer server;
            server.serveFolder("", serverFolder);
            server.script(settingsTarget, {answer(200, goodSettings)});
            server.script(accountTarget, {answer(200, goodAccount)});
            server.script(lanTarget, {answer(200, "[Servers]\r\nServer1=127.0.0.1\r\n")});
            server.script(targetPath(row.target), faultyAnswers(row));
            overrideEndpoints(server.url(), server.url());
            fs::current_path(root);
            patchThreadFrom(server.url());
            syncGameSettings(server.url());
            syncAccount(server.url());
            startGame(server.url());
        }
        _exit(sessionDone);
    }
};

TEST_P(FaultMatrix, SessionSurvivesTheFault) {
    const FaultRow& row = GetParam();
    const std::vector<fs::path> ownFolders = {root, fs::path(userFolder.get()).parent_path()};
    const auto before = snapshot(dir.path(), ownFolders);
    const auto installedBefore = filesBelow(root);

    const pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) session(row);

    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + watchdog;
    pid_t done = 0;
    while ((done = waitpid(child, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (done == 0) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
        FAIL() << "the session hung";
    }
    ASSERT_TRUE(WIFEXITED(status)) << "the session crashed with signal " << WTERMSIG(status);
    const std::vector<std::string> log = logMessages();
    std::string logText;
    for (const auto& line : log) logText += line.substr(0, 200) + "\n";
    EXPECT_EQ(WEXITSTATUS(status), row.end == End::Session ? sessionDone : downloadFailedExit)
        << logText;

    for (const auto& [prefix, least] : row.log) {
        const auto count = std::count_if(log.begin(), log.end(), [&](const std::string& line) {
            return line.rfind(prefix, 0) == 0;
        });
        EXPECT_GE(count, least) << "log lines starting \"" << prefix << "\"\n" << logText;
    }
    EXPECT_TRUE(std::none_of(log.begin(), log.end(), [](const std::string& line) {
        return line.rfind("Patch run failed", 0) == 0;
    })) << logText;

    // Nothing beside the installation and the user folder changed.
    EXPECT_EQ(snapshot(dir.path(), ownFolders), before);

    // Files go only when the update replaces them: the scripts' deletions, the files of the inc
    // update (a failed transfer deletes what it began) and the archive.
    const auto listed = [&](const std::vector<std::string>& paths, const std::string& file) {
        return std::any_of(paths.begin(), paths.end(), [&](const std::string& path) {
            return fs::path("Astrovance") / path == fs::path(file);
        });
    };
    for (const auto& file : installedBefore) {
        const bool mayGo =
            file == "ORV.zip" || listed(made.removedFiles, file) || listed(made.incFiles, file);
        if (!mayGo) {
            EXPECT_TRUE(fs::exists(root / file)) << file << " was lost";
        }
    }

    // The client settings still parse and keep their token.
    EXPECT_EQ(IniDocument::getValue(clientSettingsPath.get(), "CLIENT", "token"), token);
    const std::string settings = readFile(clientSettingsPath.get());
    EXPECT_EQ(settings.find("stolen"), std::string::npos) << settings;

    if (row.reachesCurrent) {
        for (const auto& file : made.currentFiles) {
            const fs::path path = root / "Astrovance" / file.path;
            ASSERT_TRUE(fs::exists(path)) << file.path;
            // The game start patches two bytes of the executable.
            if (file.path == "EXE/Astrovance.exe") continue;
            EXPECT_EQ(checksumOf(path), file.checksum) << file.path;
        }
        EXPECT_EQ(IniDocument::getValue(clientSettingsPath.get(), "CLIENT", "Version"), made.incVersion);
    }
    std::cout << "[ outcome  ] " << row.name << ": exit " << WEXITSTATUS(status) << ", version "
              << IniDocument::getValue(clientSettingsPath.get(), "CLIENT", "Version") << ", "
              << log.size() << " log lines\n";
}

INSTANTIATE_TEST_SUITE_P(Rows, FaultMatrix, testing::ValuesIn(rows),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
