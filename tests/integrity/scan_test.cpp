#include "integrity/scan.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <regex>

#include "core/ini_document.h"
#include "core/log.h"
#include "core/patch_progress.h"
#include "core/user_paths.h"
#include "tests/support/file_size_limit.h"
#include "tests/support/temp_dir.h"

#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {

constexpr char sep = platform::pathSeparator;

// "a/b/c" with the platform's separator.
std::string rel(std::string text) {
    std::replace(text.begin(), text.end(), '/', sep);
    return text;
}

std::string crcText(const std::string& data) {
    char text[16];
    std::snprintf(
        text, sizeof text, "%lx",
        crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
    return text;
}

// An installation below the test folder, given as files and their contents.
struct Installation {
    explicit Installation(const TempDir& dir, const std::string& name = "install")
        : folder(dir.path() / name), root(folder.string() + sep) {
        fs::create_directories(folder);
    }
    void add(const std::string& path, const std::string& content) {
        writeFile(folder / path, content);
        expected[rel(path)] = crcText(content);
    }
    fs::path folder;
    std::string root;
    std::map<std::string, std::string> expected;  // manifest path -> checksum text
};

std::vector<std::string> manifestLines() {
    const std::string content = readFile(hashesPath.get());
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = content.find('\n', start)) != std::string::npos; start = end + 1) {
        std::string line = content.substr(start, end - start);
#ifdef _WIN32
        // Written in text mode: CR LF on Windows.
        if (line.ends_with('\r')) line.pop_back();
#endif
        lines.push_back(line);
    }
    EXPECT_EQ(start, content.size()) << "the manifest ends with a line end";
    std::sort(lines.begin(), lines.end());
    return lines;
}

std::vector<std::string> expectedLines(const std::map<std::string, std::string>& expected) {
    std::vector<std::string> lines;
    for (const auto& [path, crc] : expected) lines.push_back(path + " = " + crc);
    std::sort(lines.begin(), lines.end());
    return lines;
}

// The scan's statistics from the log, the time line replaced by a fixed text once checked.
std::vector<std::string> statistics() {
    const auto messages = logMessages();
    const auto first = std::find_if(messages.rbegin(), messages.rend(), [](const std::string& m) {
        return m.starts_with("Total number of data: ");
    });
    if (first == messages.rend()) return {};
    std::vector<std::string> lines(first.base() - 1, messages.end());
    const std::regex took(R"(The processing took: \d+\.\d{6} seconds)");
    if (!lines.empty() && std::regex_match(lines.back(), took)) lines.back() = "<took>";
    return lines;
}

TEST(Scan, WritesOneManifestLinePerFileAndKeepsTheRecords) {
    TempDir dir;
    useUserFolder(dir);
    Installation install(dir);
    install.add("Astrovance/EXE/Astrovance.exe", "abc");
    install.add("c.txt", "c");
    install.add("empty", "");
    install.add("Hashes.ini", "capital H is not the manifest");
    install.add("Data/deep/er/large.bin", std::string(2 * 1024 * 1024 + 3, 'x'));
    std::atomic<std::int32_t> excluded{0};

    hashExistingFiles(install.root, excluded, scanLock);

    EXPECT_EQ(PatchProgress.phase.load(), Scanning);
    EXPECT_EQ(manifestLines(), expectedLines(install.expected));
    // Read back as the updates read it.
    EXPECT_EQ(
        IniDocument::parsePairs(readFile(hashesPath.get())),
        (std::map<std::string, std::string>(install.expected.begin(), install.expected.end())));
    ASSERT_EQ(scannedFiles.size(), 5u);
    for (const ScannedFile& file : scannedFiles) {
        ASSERT_TRUE(install.expected.contains(file.relativePath)) << file.relativePath;
        char text[16];
        std::snprintf(text, sizeof text, "%x", file.checksum);
        EXPECT_EQ(text, install.expected[file.relativePath]);
        EXPECT_EQ(file.fileName, fs::path(file.relativePath).filename().string());
    }
    EXPECT_EQ(statistics(), (std::vector<std::string>{
                                "Total number of data: 5",
                                "Number of processed data: 5",
                                "Exceptions: 0",
                                "Folder  Data: 3",
                                "Folder " + rel("Astrovance/EXE") + " Data: 1",
                                "Folder " + rel("Data/deep/er") + " Data: 1",
                                "<took>",
                            }));
}

TEST(Scan, FolderLinesComeInByteOrderOfTheFolderText) {
#ifdef _WIN32
    GTEST_SKIP() << "needs folders \"a\" and \"A\" side by side: Windows file names ignore case";
#endif
    TempDir dir;
    useUserFolder(dir);
    Installation install(dir);
    for (const char* file : {"b/1", "A/1", "a/x/1", "Z/1", "Z/2", "Z/3", "_/1", "r1", "r2"})
        install.add(file, file);
    std::atomic<std::int32_t> excluded{0};

    hashExistingFiles(install.root, excluded, scanLock);

    EXPECT_EQ(statistics(), (std::vector<std::string>{
                                "Total number of data: 9",
                                "Number of processed data: 9",
                                "Exceptions: 0",
                                "Folder  Data: 2",
                                "Folder A Data: 1",
                                "Folder Z Data: 3",
                                "Folder _ Data: 1",
                                "Folder " + rel("a/x") + " Data: 1",
                                "Folder b Data: 1",
                                "<took>",
                            }));
}

// The excluded count runs over the whole launcher run, so a second scan reports the sum.
TEST(Scan, ExcludedFilesAreCountedAcrossScans) {
    TempDir dir;
    useUserFolder(dir);
    Installation onlyExcluded(dir, "first");
    for (const char* file : {"hashes.ini", "Release/game.dat", "tools/.svn/x/y", "Launcher.exe"})
        writeFile(onlyExcluded.folder / file, "skip me");
    std::atomic<std::int32_t> excluded{0};

    hashExistingFiles(onlyExcluded.root, excluded, scanLock);
    EXPECT_EQ(readFile(hashesPath.get()), "");
    EXPECT_TRUE(scannedFiles.empty());
    EXPECT_EQ(excluded.load(), 4);
    auto first = statistics();
    ASSERT_GE(first.size(), 3u);
    EXPECT_EQ(first[0], "Total number of data: 4");
    EXPECT_EQ(first[1], "Number of processed data: 0");
    EXPECT_EQ(first[2], "Exceptions: 4");

    Installation second(dir, "second");
    second.add("kept.txt", "kept");
    writeFile(second.folder / "ORV.zip", "archive");
    hashExistingFiles(second.root, excluded, scanLock);
    EXPECT_EQ(manifestLines(), expectedLines(second.expected));
    ASSERT_EQ(scannedFiles.size(), 1u) << "the first scan's records are gone";
    EXPECT_EQ(scannedFiles[0].relativePath, "kept.txt");
    auto again = statistics();
    ASSERT_GE(again.size(), 3u);
    EXPECT_EQ(again[0], "Total number of data: 2");
    EXPECT_EQ(again[1], "Number of processed data: 1");
    EXPECT_EQ(again[2], "Exceptions: 5");
}

TEST(Scan, AManifestThatCannotBeOpenedStopsTheScanBeforeHashing) {
    TempDir dir;
    useUserFolder(dir);
    Installation install(dir);
    install.add("a.txt", "a");
    std::atomic<std::int32_t> excluded{0};
    hashExistingFiles(install.root, excluded, scanLock);
    ASSERT_EQ(scannedFiles.size(), 1u);

    const std::string goodPath = hashesPath.get();
    hashesPath.set((dir.path() / "no such folder" / "Hashes.ini").string());
    hashExistingFiles(install.root, excluded, scanLock);
    hashesPath.set(goodPath);

    EXPECT_TRUE(scannedFiles.empty());
    const auto messages = logMessages();
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages.back(), "Error open Hashes.ini");
    EXPECT_EQ(std::count_if(messages.begin(), messages.end(),
                            [](const std::string& m) { return m.starts_with("Total number"); }),
              1)
        << "no statistics for the failed scan";
}

#ifndef _WIN32
// The file size limit stands in for a full disk: the manifest outgrows it, the log does not.
TEST(Scan, AManifestThatCannotBeWrittenIsReported) {
    TempDir dir;
    useUserFolder(dir);
    Installation install(dir);
    for (int i = 0; i < 200; ++i)
        install.add("a-rather-long-folder-name/file-" + std::to_string(i) + ".txt", "a");
    {
        const FileSizeLimit full(4096);
        ASSERT_TRUE(full.active());
        std::atomic<std::int32_t> excluded{0};
        hashExistingFiles(install.root, excluded, scanLock);
    }

    const auto messages = logMessages();
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages.back(), "Error write Hashes.ini");
}

// A link that loops cannot be examined at all; folder links are not entered; file links are
// hashed under their own name.
TEST(Scan, LinksAreHandledWithoutEndingTheWalk) {
    TempDir dir;
    useUserFolder(dir);
    Installation install(dir);
    install.add("a.txt", "abc");
    install.add("real/b.txt", "c");
    fs::create_symlink("loop", install.folder / "loop");
    fs::create_symlink("nowhere", install.folder / "dangling");
    fs::create_directory_symlink("real", install.folder / "linkdir");
    fs::create_symlink("a.txt", install.folder / "filelink");
    install.expected["filelink"] = crcText("abc");
    std::atomic<std::int32_t> excluded{0};

    hashExistingFiles(install.root, excluded, scanLock);

    EXPECT_EQ(manifestLines(), expectedLines(install.expected));
    const auto messages = logMessages();
    EXPECT_NE(
        std::find(messages.begin(), messages.end(), "Error listing file:" + install.root + "loop"),
        messages.end());
    EXPECT_EQ(std::count_if(messages.begin(), messages.end(),
                            [](const std::string& m) { return m.starts_with("Error"); }),
              1)
        << "a dangling link is simply not a file";
}

// Runs the scan in a child process as an unprivileged user: as root nothing is unreadable.
TEST(Scan, UnreadableFilesAndFoldersDoNotEndTheScan) {
    TempDir dir;
    useUserFolder(dir);
    Installation install(dir);
    install.add("ok.txt", "abc");
    install.add("after/z.txt", "c");
    writeFile(install.folder / "locked.bin", "secret");
    install.expected["locked.bin"] = "0";
    writeFile(install.folder / "closed" / "inner.txt", "hidden");
    fs::permissions(install.folder / "locked.bin", fs::perms::none);
    fs::permissions(install.folder / "closed", fs::perms::none);
    // The other user must reach the tree and write the manifest and the log.
    fs::permissions(dir.path(), fs::perms::owner_all | fs::perms::group_read |
                                    fs::perms::group_exec | fs::perms::others_read |
                                    fs::perms::others_exec);
    for (const auto& entry : fs::recursive_directory_iterator(dir.path() / "Documents"))
        if (entry.is_directory()) fs::permissions(entry.path(), fs::perms::all);

    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(77);
        std::error_code error;
        fs::directory_iterator probe(install.folder / "closed", error);
        if (!error) _exit(78);
        std::atomic<std::int32_t> excluded{0};
        hashExistingFiles(install.root, excluded, scanLock);
        _exit(scannedFiles.size() == 3 ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    fs::permissions(install.folder / "closed", fs::perms::owner_all);
    fs::permissions(install.folder / "locked.bin", fs::perms::owner_all);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "running as root and cannot become nobody";
    if (WEXITSTATUS(status) == 78) GTEST_SKIP() << "permissions do not stop this user reading";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "three records kept";

    EXPECT_EQ(manifestLines(), expectedLines(install.expected));
    const auto messages = logMessages();
    for (const std::string& line : {"Error hashing file:" + install.root + "locked.bin",
                                    "Error listing folder:" + install.root + "closed",
                                    std::string("Total number of data: 3")})
        EXPECT_NE(std::find(messages.begin(), messages.end(), line), messages.end()) << line;
}
#endif

}  // namespace
