// The disk says no: full (a file size limit, or a small tmpfs where this machine lets the test
// mount one), folders the user may not write, files that vanish between the scan and the update.
// Whatever fails, the client settings file and the installation's files are never left cut short.
#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <algorithm>
#include <functional>
#include <set>
#include <string>

#include "core/ini_document.h"
#include "core/user_paths.h"
#include "integrity/checksum.h"
#include "net/download.h"
#include "net/endpoints.h"
#include "patch/patch_thread.h"
#include "testdata/make_install.h"
#include "tests/support/file_size_limit.h"
#include "tests/support/http_server.h"
#include "tests/support/temp_dir.h"

namespace fs = std::filesystem;

namespace {

constexpr int childDone = 42;
constexpr int cannotBecomeNobody = 77;
const std::string settings = "[CLIENT]\r\ntoken=5eed\r\nVersion=1.0\r\n[Config]\r\nWindowMode=true\r\n";

// Runs `body` in a child process and returns its wait status. The child ends with `childDone`
// unless the launcher ends it first.
int inChild(const std::function<void()>& body) {
    const pid_t child = fork();
    if (child == 0) {
        body();
        _exit(childDone);
    }
    int status = -1;
    waitpid(child, &status, 0);
    return status;
}

bool noTemporaryBeside(const fs::path& file) {
    for (const auto& entry : fs::directory_iterator(file.parent_path()))
        if (entry.path() != file && entry.path().filename().string().rfind(file.filename().string(), 0) == 0)
            return false;
    return true;
}

std::set<std::string> namesIn(const fs::path& folder) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) names.insert(entry.path().filename().string());
    return names;
}

std::string checksumOf(const fs::path& file) { return formatChecksum(hashFile(file.string())); }

class DiskFaults : public testing::Test {
protected:
    TempDir dir;
    void SetUp() override {
        useUserFolder(dir);
        writeFile(clientSettingsPath.get(), settings);
    }
};

TEST_F(DiskFaults, FullDiskKeepsTheSettingsFileWhole) {
    const std::string path = clientSettingsPath.get();
    const int status = inChild([&] {
        const FileSizeLimit full(settings.size() + 16);
        if (IniDocument::setValue(path, "Config", "Huge", std::string(4096, 'h'))) _exit(1);
    });
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), childDone) << "the write must report its failure";
    EXPECT_EQ(readFile(path), settings);
    EXPECT_TRUE(noTemporaryBeside(path));
}

TEST_F(DiskFaults, FullDiskDuringDownloadEndsWithoutPartialFile) {
    const fs::path target = dir.path() / "Install" / "Astrovance" / "Data" / "big.pak";
    const int status = inChild([&] {
        const FileSizeLimit full(64 * 1024);
        HttpServer server;
        server.script("/big.pak", {answer(200, std::string(512 * 1024, 'b'))});
        downloadFile(server.url("/big.pak"), target.string(), "big.pak", "1234", false);
    });
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "ten failed transfers end the launcher";
    EXPECT_FALSE(fs::exists(target));
    int failures = 0;
    for (const auto& line : logMessages())
        failures += line.rfind("Failed to download file. CURL error: Failed writing received data", 0) == 0;
    EXPECT_EQ(failures, 10);
}

// Regression: extraction wrote straight over the installed file, so a full disk left it cut off.
TEST_F(DiskFaults, ExtractionIntoFullDiskLeavesTheOldFile) {
    const fs::path root = dir.path() / "Install";
    testdata::InstallOptions options;
    options.installDir = root;
    options.serverDir = dir.path() / "Server";
    options.files = 4;
    options.sizeMb = 1;
    options.blanksInNames = false;
    options.scripts = false;
    const auto made = testdata::makeInstall(options);
    // Only the full update: its archive is in place, so nothing is transferred.
    writeFile(options.serverDir / "version.ini",
              "[CurrentVersion]\r\nVersion = 1.0\r\n[Updates]\r\n1.0 = full, " + made.fullPath + "\r\n");
    IniDocument::setValue(clientSettingsPath.get(), "CLIENT", "Version", "0.9");
    // The largest file of the archive differs on disk, so the full update extracts it again.
    const auto largest = std::max_element(made.fullFiles.begin(), made.fullFiles.end(),
                                          [](const auto& a, const auto& b) { return a.size < b.size; });
    const fs::path victim = root / "Astrovance" / largest->path;
    const std::string damaged = "damaged but whole";
    writeFile(victim, damaged);
    const auto namesBefore = namesIn(victim.parent_path());

    const int status = inChild([&] {
        HttpServer server;
        server.serveFolder("", options.serverDir);
        fs::current_path(root);
        const FileSizeLimit full(largest->size / 2);
        patchThreadFrom(server.url());
    });
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), childDone);
    EXPECT_EQ(readFile(victim), damaged);
    EXPECT_EQ(namesIn(victim.parent_path()), namesBefore) << "no temporary file is left";
    const auto log = logMessages();
    EXPECT_NE(std::find(log.begin(), log.end(), "Error when extracting the file"), log.end());
    EXPECT_EQ(IniDocument::getValue(clientSettingsPath.get(), "CLIENT", "token"), "5eed");
}

// A small tmpfs that really runs full, where the machine allows the test to mount one.
TEST_F(DiskFaults, FullFilesystemKeepsTheSettingsFileWhole) {
    const fs::path mountPoint = dir.path() / "small";
    fs::create_directories(mountPoint);
    if (mount("orv-test", mountPoint.c_str(), "tmpfs", 0, "size=256k") != 0)
        GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(errno);
    struct Unmount {
        fs::path at;
        ~Unmount() { umount2(at.c_str(), MNT_DETACH); }
    } unmount{mountPoint};

    setUserPaths((mountPoint / "Documents").string());
    fs::create_directories(fs::path(clientSettingsPath.get()).parent_path());
    writeFile(clientSettingsPath.get(), settings);
    // Fill what is left, a few bytes short of the end.
    {
        std::FILE* filler = std::fopen((mountPoint / "filler").c_str(), "wb");
        ASSERT_NE(filler, nullptr);
        const std::string block(4096, 'f');
        while (std::fwrite(block.data(), 1, block.size(), filler) == block.size()) {
        }
        std::fclose(filler);
    }
    EXPECT_FALSE(IniDocument::setValue(clientSettingsPath.get(), "Config", "Huge", std::string(64 * 1024, 'h')));
    EXPECT_EQ(readFile(clientSettingsPath.get()), settings);
    EXPECT_TRUE(noTemporaryBeside(clientSettingsPath.get()));
    useUserFolder(dir);
}

// A game folder the player may not write: the update logs each file it cannot place and goes on;
// the files there stay as they were.
TEST_F(DiskFaults, ReadOnlyGameFolderKeepsItsFiles) {
    const fs::path root = dir.path() / "Install";
    testdata::InstallOptions options;
    options.installDir = root;
    options.serverDir = dir.path() / "Server";
    options.files = 4;
    options.sizeMb = 0.1;
    options.blanksInNames = false;
    options.scripts = false;
    const auto made = testdata::makeInstall(options);
    IniDocument::setValue(clientSettingsPath.get(), "CLIENT", "Version", made.installedVersion);
    // Everything belongs to the player but the executable's folder, which the inc update changes.
    for (const auto& entry : fs::recursive_directory_iterator(dir.path()))
        lchown(entry.path().c_str(), 65534, 65534);
    chown(dir.path().c_str(), 65534, 65534);
    const fs::path locked = root / "Astrovance" / "EXE";
    chown(locked.c_str(), 0, 0);
    for (const auto& entry : fs::directory_iterator(locked)) chown(entry.path().c_str(), 0, 0);
    fs::permissions(locked, fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                                fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec);
    const std::string exeBefore = readFile(locked / "Astrovance.exe");

    const int status = inChild([&] {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(cannotBecomeNobody);
        if (access(locked.c_str(), W_OK) == 0) _exit(cannotBecomeNobody);
        HttpServer server;
        server.serveFolder("", options.serverDir);
        fs::current_path(root);
        patchThreadFrom(server.url());
    });
    fs::permissions(locked, fs::perms::owner_all);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == cannotBecomeNobody)
        GTEST_SKIP() << "cannot become a user whom permissions stop";
    EXPECT_EQ(WEXITSTATUS(status), childDone);
    EXPECT_EQ(readFile(locked / "Astrovance.exe"), exeBefore);
    bool refused = false;
    for (const auto& line : logMessages())
        refused = refused || line.rfind("Failed to open file for writing: ", 0) == 0 ||
                  line.rfind("Error updating file ", 0) == 0;
    EXPECT_TRUE(refused) << "the refused file is logged";
    EXPECT_EQ(IniDocument::getValue(clientSettingsPath.get(), "CLIENT", "token"), "5eed");
}

// Files that the pre-patch script deletes after the scan and before the update: the archive and
// a file that the update replaces. The run fetches both again and ends normally.
TEST_F(DiskFaults, FilesVanishingBetweenScanAndUpdate) {
    const fs::path root = dir.path() / "Install";
    testdata::InstallOptions options;
    options.installDir = root;
    options.serverDir = dir.path() / "Server";
    options.files = 4;
    options.sizeMb = 0.1;
    options.blanksInNames = false;
    const auto made = testdata::makeInstall(options);
    IniDocument::setValue(clientSettingsPath.get(), "CLIENT", "Version", made.installedVersion);
    writeFile(options.serverDir / "updates" / "1.0" / "PrePatch.ini",
              "DELETE = ORV.zip\r\nDELETE = Astrovance\\" + testdata::backslashed(made.incFiles.front()) +
                  "\r\n");

    const int status = inChild([&] {
        HttpServer server;
        server.serveFolder("", options.serverDir);
        fs::current_path(root);
        patchThreadFrom(server.url());
    });
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), childDone);
    for (const auto& line : logMessages()) EXPECT_EQ(line.rfind("Patch run failed", 0), std::string::npos) << line;
    EXPECT_EQ(checksumOf(root / "ORV.zip"), made.archiveChecksum);
    for (const auto& file : made.currentFiles) {
        const fs::path path = root / "Astrovance" / file.path;
        ASSERT_TRUE(fs::exists(path)) << file.path;
        EXPECT_EQ(checksumOf(path), file.checksum) << file.path;
    }
}

}  // namespace
