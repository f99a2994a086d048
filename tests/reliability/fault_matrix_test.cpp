// A patch run against a served installation with a fault: a server that cuts the archive, or
// (built as disk_fault_tests) a disk that says no. Judged by the run's log and what is on disk.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "core/disk_space.h"
#include "core/ini_document.h"
#include "core/patch_progress.h"
#include "core/user_paths.h"
#include "integrity/checksum.h"
#include "net/endpoints.h"
#include "net/retry_pause.h"
#include "patch/patch_thread.h"
#include "platform/platform.h"
#include "testdata/make_install.h"
#include "tests/support/file_size_limit.h"
#include "tests/support/http_server.h"
#include "tests/support/temp_dir.h"

namespace fs = std::filesystem;

namespace {

// A row: the archive cut at 60 % and at 80 % (resumed where it broke, the run ends current), or a
// full disk; a message the log must hold.
struct Row {
    const char* name;
    bool diskFull;
    std::string logged;
    bool reserve = false;  // the disk full as the launcher sees it: less free than its reserve
};

const std::string zip = "/updates/1.0/ORV.zip";
#ifndef ORV_DISK_FAULTS
// Regression: updates wrote until the disk was full. Nothing is written while less than the
// reserve is free, and the run ends saying the disk is full.
const Row rows[] = {{"archiveCutTwice", false, "Resuming download at byte "},
                    {"reserveLeftFree", true, "Extraction stopped: the disk is full", true}};
#else
// Regression: extraction wrote straight over the installed file, so a full disk left it cut off.
// The largest file of the archive differs on disk and cannot be extracted again: no version is
// recorded.
const Row rows[] = {{"extractionIntoFullDisk", true, "Error when extracting the file"}};
#endif

// Every file, folder and link below `folder` with its content, skipping the subtrees in `skip`.
std::map<fs::path, std::string> snapshot(const fs::path& folder,
                                         const std::vector<fs::path>& skip) {
    std::map<fs::path, std::string> files;
    for (auto it = fs::recursive_directory_iterator(folder); it != fs::end(it); ++it) {
        if (std::count(skip.begin(), skip.end(), it->path()))
            it.disable_recursion_pending();
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
    std::uintmax_t diskLimit = 8 << 20;

    void SetUp() override {
        testdata::InstallOptions options;
        options.installDir = root;
        options.serverDir = server;
        options.seed = 11;
        options.files = 6;
        options.sizeMb = 0.25;
        options.blanksInNames = false;
        // From an empty installation, or (with a version below the full update's) from a damaged
        // one: both updates run.
        if (!GetParam().diskFull) options.scenario = testdata::Scenario::FreshFull;
        made = testdata::makeInstall(options);
        fs::create_directories(root);
        useUserFolder(dir);
        writeFile(clientSettingsPath.get(), "[CLIENT]\r\ntoken=f00dcafe\r\nVersion=0.9\r\n");
        if (GetParam().diskFull) {
            const auto largest =
                std::max_element(made.fullFiles.begin(), made.fullFiles.end(),
                                 [&](const auto& a, const auto& b) { return a.size < b.size; });
            writeFile(root / "Astrovance" / largest->path, "damaged but whole");
            diskLimit = largest->size / 2;
        }
    }

    // Empty when every file of 1.1 is in place with its checksum; else one that is not.
    std::string notYetCurrent() const {
        for (const auto& file : made.currentFiles) {
            const fs::path path = root / "Astrovance" / file.path;
            if (!fs::exists(path) || formatChecksum(hashFile(path.string())) != file.checksum)
                return file.path;
        }
        return "";
    }
};

TEST_P(Session, LeavesEveryFileAtAVersion) {
    const Row& row = GetParam();
    const std::vector<fs::path> own = {root, fs::path(userFolder.get()).parent_path()};
    const auto outside = snapshot(dir.path(), own), installed = snapshot(root, {});
    // The checksums a game file may have: before the run, at 1.0, at 1.1.
    std::map<std::string, std::set<std::string>> known;
    for (const auto& [path, content] : installed)
        known[fs::relative(path, root).generic_string()].insert(checksumText(content));
    for (const auto& files : {made.fullFiles, made.currentFiles})
        for (const auto& file : files) known["Astrovance/" + file.path].insert(file.checksum);
    const std::string settings = clientSettingsPath.get();

    setRetryPauseUnit(std::chrono::milliseconds(1));
    {
        HttpServer http;
        http.serveFolder("", server);
        const std::string archive = readFile(server / zip.substr(1));
        if (!row.diskFull)
            http.script(zip, {cutAfter(archive, archive.size() * 3 / 5),
                              cutAfter(archive, archive.size() * 4 / 5), answer(200, archive)});
        overrideEndpoints(http.url(), http.url());
        const WorkingFolder inRoot(root);
        const FileSizeLimit full(diskLimit);
        if (row.reserve)
            freeSpaceQuery = [](const std::string&) { return std::optional<std::uint64_t>(0); };
        patchThreadFrom(http.url());
        freeSpaceQuery = &platform::freeSpace;
    }
    std::string logText;
    for (const auto& line : logMessages()) logText += line.substr(0, 200) + "\n";
    EXPECT_NE(logText.find(row.logged), std::string::npos) << logText;
    EXPECT_EQ(logText.find("Patch run failed"), std::string::npos) << logText;
    // Regression: the clean-up removed files outside the installation.
    EXPECT_EQ(snapshot(dir.path(), own), outside) << "written outside its folders";

    // Every game file holds what it held before or what one of the versions gives it: nothing cut
    // short, nothing the server sent wrong. None is lost but what the update removes.
    for (const auto& [path, content] : snapshot(root, {})) {
        const std::string name = fs::relative(path, root).generic_string();
        const bool skipped =
            fs::is_directory(path) || name == "ORV.zip" || name.ends_with("Astrovance.log");
        EXPECT_TRUE(skipped || known[name].contains(checksumText(content))) << name << logText;
    }
    for (const auto& [path, content] : installed) EXPECT_TRUE(fs::exists(path)) << path << " lost";

    // A version is recorded only for an installation that has it.
    const std::string version = IniDocument::getValue(settings, "CLIENT", "Version");
    EXPECT_EQ(version, row.diskFull ? "0.9" : made.incVersion) << logText;
    EXPECT_EQ(notYetCurrent() == "", !row.diskFull) << logText;
    EXPECT_EQ(IniDocument::getValue(settings, "CLIENT", "token"), "f00dcafe");
    EXPECT_EQ(PatchProgress.outcome == DiskFull, row.reserve);
}

INSTANTIATE_TEST_SUITE_P(Rows, Session, testing::ValuesIn(rows),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
