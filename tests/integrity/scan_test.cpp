#include "integrity/scan.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <functional>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

#include "core/text.h"
#include "core/user_paths.h"
#include "integrity/checksum.h"
#include "integrity/scan_feed.h"
#include "tests/support/temp_dir.h"

#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {

// The lines of a manifest, sorted: the scan writes them in the order its jobs finish.
std::vector<std::string> sortedLines(const fs::path& file) {
    const std::string text = readTextFile(file);
    EXPECT_TRUE(text.empty() || text.ends_with('\n')) << "the manifest ends with a line end";
    std::istringstream in(text);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    std::sort(lines.begin(), lines.end());
    return lines;
}

std::vector<std::string> errorsLogged() {
    auto messages = logMessages();
    std::erase_if(messages, [](const std::string& m) { return !m.starts_with("Error"); });
    return messages;
}

class Scan : public testing::Test {
protected:
    TempDir dir;
    Installation install{dir.path() / "install"};
    std::atomic<std::int32_t> excluded{0};
    void SetUp() override { useUserFolder(dir); }
    void scan(const Installation& which, ScanMode mode = ScanMode::Full) {
        hashExistingFiles(which.root, excluded, scanLock, mode);
    }
};

// Listed names are left out anywhere in the path in their exact case, as is what a download or
// an extraction leaves before it is complete; they are counted over the launcher run, not per scan.
TEST_F(Scan, WritesOneManifestLinePerFileAndKeepsTheRecords) {
    for (const char* file :
         {"hashes.ini", "Release/game.dat", "tools/.svn/x/y", "Launcher.exe",
          "Launcher.exe.WebView2/x", "ORV.zip", "EXE/Astrovance.exe.orv-partial"})
        writeFile(install.folder / file, "skip me");
    for (const char* file : {"Z/1", "Astrovance/EXE/Astrovance.exe", "a/release/game.dat",
                             "ReleaseNotes.txt", "x.orv-partial.txt", "a/Hashes.ini"})
        install.add(file, file);
    install.add("empty", "");
    install.add("Data/deep/large.bin", std::string(2 * 1024 * 1024 + 3, 'x'));
    scan(install);
    scan(install);
    EXPECT_EQ(excluded, 14);
    EXPECT_EQ(sortedLines(hashesPath.get()), install.manifestLines());
    ASSERT_EQ(scannedFiles.size(), install.expected.size());
    for (const ScannedFile& file : scannedFiles) {
        EXPECT_EQ(formatChecksum(file.checksum), install.expected[file.relativePath])
            << file.relativePath;
        EXPECT_EQ(file.fileName, fs::path(file.relativePath).filename().string());
    }

    // Lines reach the file with their records, whole: a report page opened during a scan sees
    // every file done so far and no cut line. The large file, done last, holds the scan open.
    for (int i = 0; i < 10; ++i) install.add("many/" + std::to_string(i), std::to_string(i));
    fs::resize_file(install.folder / "Data/deep/large.bin", std::uintmax_t{1} << 29);
    fs::remove(hashesPath.get());
    scannedFiles.clear();
    std::atomic<bool> scanned{false};
    std::thread scanning([&] {
        scan(install);
        scanned = true;
    });
    int midway = 0;
    for (bool last = false; !last; std::this_thread::sleep_for(std::chrono::milliseconds(5))) {
        last = scanned;
        std::vector<std::string> records;
        const std::lock_guard lock(scanLock);
        for (const ScannedFile& file : scannedFiles)
            records.push_back(file.relativePath + " = " + formatChecksum(file.checksum));
        std::sort(records.begin(), records.end());
        if (sortedLines(hashesPath.get()) != records) {
            ADD_FAILURE() << "the manifest file is behind the records";
            break;
        }
        midway += !records.empty() && !last;
    }
    scanning.join();
    EXPECT_GT(midway, 0) << "no look during the scan found what it had done";
    EXPECT_EQ(sortedLines(hashesPath.get()).size(), install.expected.size());

    // A manifest that cannot be opened costs the report its file, not the updates their records:
    // without them every file on disk would pass as current.
    hashesPath.set(dir.file("no such folder/Hashes.ini"));
    scan(install);
    EXPECT_EQ(scannedFiles.size(), install.expected.size());
    EXPECT_EQ(errorsLogged(), std::vector<std::string>{"Error open Hashes.ini"});
}

// What the last scan left, records and manifest lines as (path, checksum, file name or
// "manifest"), sorted; checksums of paths outside `readAgain` inverted when `invert` is set.
using ScanView = std::vector<std::array<std::string, 3>>;
ScanView scanView(const std::set<std::string>& readAgain = {}, bool invert = false) {
    const auto text = [&](const std::string& path, std::uint32_t crc) {
        return formatChecksum(invert && !readAgain.contains(path) ? ~crc : crc);
    };
    ScanView view;
    for (const ScannedFile& file : scannedFiles)
        view.push_back({file.relativePath, text(file.relativePath, file.checksum), file.fileName});
    for (const std::string& line : sortedLines(hashesPath.get())) {
        const std::string path = line.substr(0, line.find(" = "));
        view.push_back(
            {path, text(path, std::stoul(line.substr(path.size() + 3), nullptr, 16)), "manifest"});
    }
    std::sort(view.begin(), view.end());
    return view;
}

void rewriteKeepingTime(const fs::path& file, const std::string& content) {
    const auto time = fs::last_write_time(file);
    writeFile(file, content);
    fs::last_write_time(file, time);
}

// Each row changes the installation between a full scan and an incremental one; the incremental
// scan must leave what a full scan of the changed tree leaves, reading again exactly the files of
// the row. The full scan's checksums are inverted before the change: one taken over shows
// inverted, one read anew shows as it is.
TEST_F(Scan, IncrementalScanReadsWhatChangedAndOtherwiseEqualsAFullScan) {
    const auto now = fs::file_time_type::clock::now();
    // WhileStopped: the launcher ends between the two scans, and the later one takes the records
    // the earlier one kept in the user folder, which the row may change instead of the tree.
    enum When { Between, BeforeFirstScan, WhileStopped };
    struct Row {
        const char* change;
        std::function<void(Installation& tree)> apply;
        std::set<std::string> readAgain;
        When when = Between;
    };
    const auto rewrite = [](Installation& t) { rewriteKeepingTime(t.folder / "a.dat", "alpha-2"); };
    const auto replace = [](Installation& t) {
        writeFile(t.folder / "b.new", "bravo-2");
        fs::last_write_time(t.folder / "b.new", fs::last_write_time(t.folder / "b.dat"));
        fs::rename(t.folder / "b.new", t.folder / "b.dat");
    };
    // Flips bits of one byte of the records file: its format number (1) is the 9th byte.
    const auto flipRecordsByte = [](std::size_t fromStart, char bits) {
        return [=](Installation&) {
            std::string records = readFile(scanRecordsPath.get());
            records[std::min(fromStart, records.size() - 1)] ^= bits;
            writeFile(scanRecordsPath.get(), records);
        };
    };
    const std::set<std::string> all = {"a.dat", "b.dat", "x/c.dat", "x/y/d.dat"};
    const Row rows[] = {
        {"content changed, same size, time set back", rewrite, {"a.dat"}},
        {"replaced by a rename with the same size and time", replace, {"b.dat"}},
        {"deleted", [](Installation& t) { fs::remove(t.folder / "x/c.dat"); }, {}},
        {"added", [](Installation& t) { writeFile(t.folder / "x/new.dat", "new"); }, {"x/new.dat"}},
        {"folder renamed",
         [](Installation& t) { fs::rename(t.folder / "x", t.folder / "z"); },
         {"z/c.dat", "z/y/d.dat"}},
        // Racily clean: a change within the same clock step would leave the same stamp.
        {"time set to the whole second the first scan began in",
         [&](Installation& t) {
             fs::last_write_time(t.folder / "a.dat", std::chrono::floor<std::chrono::seconds>(now));
         },
         {"a.dat"},
         BeforeFirstScan},
        {"kept records: changed while the launcher was not running",
         rewrite,
         {"a.dat"},
         WhileStopped},
        {"kept records: replaced by another inode of the same size and time",
         replace,
         {"b.dat"},
         WhileStopped},
        {"kept records of another installation folder",
         [](Installation& t) {
             fs::rename(t.folder, t.folder.string() + "-moved");
             t = Installation(t.folder.string() + "-moved");
         },
         all, WhileStopped},
        {"kept records of an older format", flipRecordsByte(8, 1), all, WhileStopped},
        {"kept records of a newer format", flipRecordsByte(8, 3), all, WhileStopped},
        {"kept records damaged", flipRecordsByte(~std::size_t{0}, 4), all, WhileStopped},
    };

    // Every tree is made first, then left to settle once for all rows.
    std::vector<Installation> trees;
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        Installation& tree = trees.emplace_back(dir.path() / ("tree" + std::to_string(i)));
        for (const auto& [file, content] : {std::pair{"a.dat", "alpha-1"},
                                            {"b.dat", "bravo-1"},
                                            {"x/c.dat", "charlie"},
                                            {"x/y/d.dat", "delta"}})
            tree.add(file, content);
    }
    std::this_thread::sleep_for(coarseClockWindow + std::chrono::milliseconds(100));

    for (std::size_t i = 0; i < std::size(rows); ++i) {
        const Row& row = rows[i];
        SCOPED_TRACE(row.change);
        if (row.when == BeforeFirstScan) row.apply(trees[i]);
        scan(trees[i]);
        ASSERT_FALSE(scannedFiles.empty());
        for (ScannedFile& file : scannedFiles) file.checksum = ~file.checksum;
        if (row.when == WhileStopped) {
            // The inverted checksums reach the kept records through a scan that reads nothing.
            scan(trees[i], ScanMode::Incremental);
            scannedFiles.clear();
        }
        if (row.when != BeforeFirstScan) row.apply(trees[i]);

        scan(trees[i], ScanMode::Incremental);
        const ScanView later = scanView();
        scan(trees[i]);
        std::set<std::string> readAgain;
        for (std::string path : row.readAgain) {
            std::replace(path.begin(), path.end(), '/', platform::pathSeparator);
            readAgain.insert(path);
        }
        EXPECT_EQ(later, scanView(readAgain, true));
    }
}

// Every file reaches the steps once, large ones a second time and last, in disk order: whether
// readers run ahead or step back because nothing waits for the disk (here most files need no
// reading), and on one worker alone.
TEST_F(Scan, FeedDoesEveryFileOnceAndLargeFilesLastInDiskOrder) {
    using namespace std::chrono_literals;
    writeFile(dir.path() / "f", "x");
    constexpr std::size_t count = 20000;
    std::vector<std::atomic<int>> looks(count);
    std::mutex lock;
    std::vector<std::size_t> secondLooks;
    const ScanSteps steps{[&](std::size_t i, bool firstLook) -> std::optional<FileBeingHashed> {
                              ++looks[i];
                              // A few microseconds, as a look in the cache takes: every thread
                              // gets its share, and none waits as for the disk.
                              const auto until = std::chrono::steady_clock::now() + 5us;
                              while (std::chrono::steady_clock::now() < until) {
                              }
                              if (i % 4000 != 7) return std::nullopt;
                              if (!firstLook) {
                                  {
                                      const std::lock_guard guard(lock);
                                      secondLooks.push_back(i);
                                  }
                                  // Busy with one large file while the others wait their turn.
                                  std::this_thread::sleep_for(20ms);
                                  return std::nullopt;
                              }
                              // Large; the later the file, the nearer the disk's start.
                              FileBeingHashed file = openToHash(dir.file("f"));
                              file.stamp->size = largeFileBytes;
                              file.stamp->index = count - i;
                              return file;
                          },
                          [&](std::size_t, FileBeingHashed&) {}};
    runScanFeed(count, steps, 2, scanReaders);
    secondLooks.clear();
    runScanFeed(count, steps, 1, 0);
    EXPECT_EQ(secondLooks, (std::vector<std::size_t>{16007, 12007, 8007, 4007, 7}));
    for (std::size_t i = 0; i < count; ++i) ASSERT_EQ(looks[i], i % 4000 == 7 ? 4 : 2) << i;
}

#ifndef _WIN32
// Loops, folder links and a folder that cannot be listed do not end the walk: a loop cannot be
// examined at all, folder links are not entered, and a closed folder costs only its own files. The
// scan runs in a child process as an unprivileged user: as root nothing is unreadable.
TEST_F(Scan, LinksAndUnreadableFoldersDoNotEndTheScan) {
    install.add("a.txt", "abc");
    install.add("real/b.txt", "c");
    fs::create_symlink("loop", install.folder / "loop");
    fs::create_directory_symlink("real", install.folder / "linkdir");
    writeFile(install.folder / "closed" / "inner.txt", "hidden");
    fs::permissions(install.folder / "closed", fs::perms::none);
    // The other user must reach the tree and write the manifest and the log.
    fs::permissions(dir.path(), fs::perms(0755));
    for (const auto& entry : fs::recursive_directory_iterator(dir.path() / "Documents"))
        if (entry.is_directory()) fs::permissions(entry.path(), fs::perms::all);

    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(77);
        std::error_code error;
        fs::directory_iterator probe(install.folder / "closed", error);
        if (!error) _exit(78);
        scan(install);
        _exit(scannedFiles.size() == 2 ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    fs::permissions(install.folder / "closed", fs::perms::owner_all);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "running as root and cannot become nobody";
    if (WEXITSTATUS(status) == 78) GTEST_SKIP() << "permissions do not stop this user reading";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "two records kept";
    EXPECT_EQ(sortedLines(hashesPath.get()), install.manifestLines());
    auto errors = errorsLogged();
    std::sort(errors.begin(), errors.end());
    EXPECT_EQ(errors,
              (std::vector<std::string>{"Error listing file:" + install.root + "loop",
                                        "Error listing folder:" + install.root + "closed"}));
}
#endif

}  // namespace
