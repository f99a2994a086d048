#include "integrity/scan.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "core/ini_document.h"
#include "core/log.h"
#include "core/patch_progress.h"
#include "core/user_paths.h"
#include "integrity/checksum.h"
#include "tests/support/file_size_limit.h"
#include "tests/support/temp_dir.h"

#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {

// "a/b/c" with the platform's separator.
std::string rel(std::string text) {
    std::replace(text.begin(), text.end(), '/', platform::pathSeparator);
    return text;
}

std::string crcText(const std::string& data) {
    const auto bytes = reinterpret_cast<const Bytef*>(data.data());
    const auto crc = crc32(0, bytes, static_cast<uInt>(data.size()));
    return (std::ostringstream() << std::hex << crc).str();
}

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

// An installation below the test folder, given as files and their contents.
struct Installation {
    explicit Installation(const TempDir& dir, const std::string& name = "install")
        : folder(dir.path() / name), root(folder.string() + platform::pathSeparator) {
        fs::create_directories(folder);
    }
    void add(const std::string& path, const std::string& content) {
        writeFile(folder / path, content);
        expected[rel(path)] = crcText(content);
    }
    std::vector<std::string> lines() const {
        std::vector<std::string> lines;
        for (const auto& [path, crc] : expected) lines.push_back(path + " = " + crc);
        return lines;
    }
    fs::path folder;
    std::string root;
    std::map<std::string, std::string> expected;  // manifest path -> checksum text
};

// The scan's statistics from the log (the first `count` lines), the time line checked and replaced.
std::vector<std::string> statistics(std::size_t count = 99) {
    const auto messages = logMessages();
    const auto first = std::find_if(messages.rbegin(), messages.rend(), [](const std::string& m) {
        return m.starts_with("Total number of data: ");
    });
    if (first == messages.rend()) return {};
    std::vector<std::string> lines(first.base() - 1, messages.end());
    const std::regex took(R"(The processing took: \d+\.\d{6} seconds)");
    if (std::regex_match(lines.back(), took)) lines.back() = "<took>";
    lines.resize(std::min(lines.size(), count));
    return lines;
}

class Scan : public testing::Test {
protected:
    TempDir dir;
    Installation install{dir};
    std::atomic<std::int32_t> excluded{0};
    void SetUp() override { useUserFolder(dir); }
    void scan(const Installation& which, ScanMode mode = ScanMode::Full) {
        hashExistingFiles(which.root, excluded, scanLock, mode);
    }
    void scan() { scan(install); }
};

// The excluded count runs over the whole launcher run: the second scan reports the first's.
TEST_F(Scan, WritesOneManifestLinePerFileKeepsTheRecordsAndCountsExclusionsAcrossScans) {
    Installation excludedOnly(dir, "excluded");
    for (const char* file : {"hashes.ini", "Release/game.dat", "tools/.svn/x/y", "Launcher.exe"})
        writeFile(excludedOnly.folder / file, "skip me");
    scan(excludedOnly);
    EXPECT_EQ(readFile(hashesPath.get()), "");
    EXPECT_TRUE(scannedFiles.empty());
    EXPECT_EQ(statistics(3), (std::vector<std::string>{"Total number of data: 4",
                                                        "Number of processed data: 0",
                                                        "Exceptions: 4"}));

    install.add("Astrovance/EXE/Astrovance.exe", "abc");
    install.add("c.txt", "c");
    install.add("empty", "");
    install.add("Hashes.ini", "capital H is not the manifest");
    install.add("Data/deep/er/large.bin", std::string(2 * 1024 * 1024 + 3, 'x'));
    for (const char* file : {"Z/1", "Z/2", "_/1", "a/x/1"}) install.add(file, file);
    scan();
    EXPECT_EQ(PatchProgress.phase.load(), Scanning);
    EXPECT_EQ(sortedLines(hashesPath.get()), install.lines());
    // Read back as the updates read it.
    EXPECT_EQ(IniDocument::parsePairs(readFile(hashesPath.get())), install.expected);
    ASSERT_EQ(scannedFiles.size(), 9u);
    for (const ScannedFile& file : scannedFiles) {
        ASSERT_TRUE(install.expected.contains(file.relativePath)) << file.relativePath;
        EXPECT_EQ(file.checksum, std::stoul(install.expected[file.relativePath], nullptr, 16));
        EXPECT_EQ(file.fileName, fs::path(file.relativePath).filename().string());
    }
    // Folder lines come in byte order of the folder text, not in walk or case-blind order.
    EXPECT_EQ(statistics(), (std::vector<std::string>{
                                "Total number of data: 9", "Number of processed data: 9",
                                "Exceptions: 4", "Folder  Data: 3",
                                "Folder " + rel("Astrovance/EXE") + " Data: 1",
                                "Folder " + rel("Data/deep/er") + " Data: 1", "Folder Z Data: 2",
                                "Folder _ Data: 1", "Folder " + rel("a/x") + " Data: 1", "<took>"}));

    // -h wants the manifest alone: the same lines, and no records held for updates to come.
    scan(install, ScanMode::Report);
    EXPECT_EQ(sortedLines(hashesPath.get()), install.lines());
    EXPECT_TRUE(scannedFiles.empty());

    // A manifest that cannot be opened costs the report its file, not the updates their records:
    // without them every file on disk would pass as current.
    useUserFolder(dir);
    hashesPath.set(dir.file("no such folder/Hashes.ini"));
    scan();
    EXPECT_EQ(scannedFiles.size(), 9u);
    const auto log = logMessages();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.front(), "Error open Hashes.ini");
    EXPECT_EQ(std::count(log.begin(), log.end(), "Error write Hashes.ini"), 0);
}

// What one scan left behind: checksum text and file name by path, the manifest's lines sorted,
// and how many files it skipped.
struct ScanResult {
    std::map<std::string, std::pair<std::string, std::string>> records;
    std::vector<std::string> manifest;
    std::int32_t excluded = 0;
    bool operator==(const ScanResult&) const = default;
};

std::ostream& operator<<(std::ostream& out, const ScanResult& result) {
    for (const auto& [path, record] : result.records)
        out << "\n  " << path << " = " << record.first << " (" << record.second << ")";
    out << "\n  manifest:";
    for (const auto& line : result.manifest) out << "\n  " << line;
    return out << "\n  excluded: " << result.excluded;
}

ScanResult scanResult(std::int32_t excludedBefore, std::int32_t excludedAfter) {
    ScanResult result;
    for (const ScannedFile& file : scannedFiles)
        result.records[file.relativePath] = {formatChecksum(file.checksum), file.fileName};
    EXPECT_EQ(result.records.size(), scannedFiles.size()) << "one record per path";
    result.manifest = sortedLines(hashesPath.get());
    result.excluded = excludedAfter - excludedBefore;
    return result;
}

// Writes over the file's bytes in place and puts its modification time back.
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
    const auto incremental = [this](const fs::path& folder) {
        hashExistingFiles(folder.string() + platform::pathSeparator, excluded, scanLock,
                          ScanMode::Incremental);
    };
    const auto renameIn = [](const fs::path& folder, const char* from, const char* to) {
        fs::rename(folder / from, folder / to);
    };
    struct Row {
        const char* change;
        std::function<void(const fs::path& folder)> apply;
        std::set<std::string> readAgain;
        bool needsLinks = false;
        std::function<void(const fs::path& folder)> beforeFirstScan = [](const fs::path&) {};
    };
    const std::vector<Row> rows = {
        {"nothing", [](const fs::path&) {}, {}},
        {"content changed, same size, modification time set back",
         [](const fs::path& folder) { rewriteKeepingTime(folder / "a.dat", "alpha-2"); },
         {"a.dat"}},
        {"replaced by a rename with the same size and time",
         [](const fs::path& folder) {
             writeFile(folder / "b.new", "bravo-2");
             fs::last_write_time(folder / "b.new", fs::last_write_time(folder / "b.dat"));
             fs::rename(folder / "b.new", folder / "b.dat");
         },
         {"b.dat"}},
        {"deleted", [](const fs::path& folder) { fs::remove(folder / "x/c.dat"); }, {}},
        {"added",
         [](const fs::path& folder) { writeFile(folder / "x/new.dat", "new"); },
         {"x/new.dat"}},
        {"folder renamed",
         [&](const fs::path& folder) { renameIn(folder, "x", "z"); },
         {"z/c.dat", "z/y/d.dat"}},
        {"two folders swapped",
         [&](const fs::path& folder) {
             renameIn(folder, "p", "t");
             renameIn(folder, "r", "p");
             renameIn(folder, "t", "r");
         },
         {"p/q.dat", "r/q.dat"}},
        {"folder renamed to an excluded name",
         [&](const fs::path& folder) { renameIn(folder, "x", "Release"); },
         {}},
        {"file replaced by a folder of its name",
         [](const fs::path& folder) {
             fs::remove(folder / "b.dat");
             writeFile(folder / "b.dat/inner", "inner");
         },
         {"b.dat/inner"}},
        {"content changed through a hard link, time set back",
         [](const fs::path& folder) { rewriteKeepingTime(folder / "h2.dat", "hotel-2"); },
         {"h1.dat", "h2.dat"}},
        {"link pointed at another file of the same size",
         [](const fs::path& folder) {
             fs::remove(folder / "current");
             fs::create_symlink("v2.dat", folder / "current");
         },
         {"current"},
         true},
        // Racily clean: a change within the same clock step would leave the same stamp.
        {"time set to the whole second the first scan began in",
         [](const fs::path&) {},
         {"a.dat"},
         false,
         [](const fs::path& folder) {
             fs::last_write_time(folder / "a.dat", std::chrono::floor<std::chrono::seconds>(
                                                       fs::file_time_type::clock::now()));
         }},
        {"dated ahead of the first scan",
         [](const fs::path&) {},
         {"a.dat"},
         false,
         [](const fs::path& folder) {
             fs::last_write_time(folder / "a.dat",
                                 fs::file_time_type::clock::now() + std::chrono::hours(1));
         }},
        {"changed after an incremental scan took its checksum over",
         [&](const fs::path& folder) {
             incremental(folder);
             rewriteKeepingTime(folder / "a.dat", "alpha-2");
         },
         {"a.dat"}},
    };

    // Every tree is made first, then left to settle once for all rows.
    const std::vector<std::pair<const char*, const char*>> files = {
        {"a.dat", "alpha-1"},   {"b.dat", "bravo-1"}, {"empty", ""},       {"x/c.dat", "charlie"},
        {"x/y/d.dat", "delta"}, {"p/q.dat", "papa"},  {"r/q.dat", "rome"}, {"h1.dat", "hotel-1"},
        {"v1.dat", "ver-1"},    {"v2.dat", "ver-2"}};
    std::vector<Installation> trees;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const Installation& tree = trees.emplace_back(dir, "tree" + std::to_string(i));
        for (const auto& [file, content] : files) writeFile(tree.folder / file, content);
        fs::create_hard_link(tree.folder / "h1.dat", tree.folder / "h2.dat");
        // The two q.dat files are made alike in size and both times, so that only their identity
        // tells the swapped folders apart (where the file clock lets both land in one step).
        const fs::path p = tree.folder / "p/q.dat", r = tree.folder / "r/q.dat";
        const auto time = fs::last_write_time(p);
        const auto alike = [&] {
            const auto one = platform::fileStamp(p.string()),
                       other = platform::fileStamp(r.string());
            return one && other && one->modified == other->modified &&
                   one->changed == other->changed;
        };
        for (int attempt = 0; attempt < 50 && !alike(); ++attempt) {
            fs::last_write_time(p, time);
            fs::last_write_time(r, time);
        }
#ifndef _WIN32
        fs::create_symlink("v1.dat", tree.folder / "current");
#endif
    }
    std::this_thread::sleep_for(coarseClockWindow + std::chrono::milliseconds(100));

    for (std::size_t i = 0; i < rows.size(); ++i) {
        const Row& row = rows[i];
        SCOPED_TRACE(row.change);
#ifdef _WIN32
        if (row.needsLinks) continue;
#endif
        const fs::path& folder = trees[i].folder;
        row.beforeFirstScan(folder);
        scan(trees[i]);
        ASSERT_FALSE(scannedFiles.empty());
        for (ScannedFile& file : scannedFiles) file.checksum = ~file.checksum;
        row.apply(folder);

        std::int32_t before = excluded;
        scan(trees[i], ScanMode::Incremental);
        const ScanResult later = scanResult(before, excluded);
        before = excluded;
        scan(trees[i]);
        const ScanResult full = scanResult(before, excluded);

        // The full scan's result with the checksums of the files not read again inverted.
        std::set<std::string> readAgain;
        for (const std::string& path : row.readAgain) readAgain.insert(rel(path));
        const auto taken = [&](const std::string& path, const std::string& checksum) {
            if (readAgain.contains(path)) return checksum;
            return formatChecksum(~static_cast<std::uint32_t>(std::stoul(checksum, nullptr, 16)));
        };
        ScanResult expected = full;
        for (auto& [path, record] : expected.records) record.first = taken(path, record.first);
        for (std::string& line : expected.manifest) {
            const auto equals = line.find(" = ");
            ASSERT_NE(equals, std::string::npos) << line;
            line =
                line.substr(0, equals + 3) + taken(line.substr(0, equals), line.substr(equals + 3));
        }
        std::sort(expected.manifest.begin(), expected.manifest.end());
        EXPECT_EQ(later, expected);
    }
}

// When a stamp may vouch for a file in a later scan: both times must lie a clock step before the
// scan began, a step being two seconds for whole-second times.
TEST_F(Scan, StampsWithinAClockStepOfTheScanDoNotVouchForTheFile) {
    constexpr std::int64_t second = platform::fileTimeUnitsPerSecond;
    constexpr std::int64_t ms = second / 1000;
    const std::int64_t begun = 1'700'000'000 * second + 500 * ms;  // half past a second
    const std::int64_t old = begun - 3600 * second + 123 * ms;
    struct Row {
        const char* what;
        std::int64_t modified;
        std::int64_t changed;
        bool settled;
    };
    const Row rows[] = {
        {"both well before", old, old, true},
        {"both 150 ms before", begun - 150 * ms, begun - 150 * ms, true},
        {"change 50 ms before", old, begun - 50 * ms, false},
        {"write 50 ms before", begun - 50 * ms, old, false},
        {"change just a step before", old, begun - 100 * ms - 1, true},
        {"change exactly a step before", old, begun - 100 * ms, false},
        {"change after the beginning", old, begun + 1, false},
        {"whole-second write 1.5 s before", begun - 1500 * ms, old, false},
        {"whole-second write 2.5 s before", begun - 2500 * ms, old, true},
        {"whole-second change half a second before", old, begun - 500 * ms, false},
        {"archive date long ago, change well before", 978'307'200 * second, old, true},
    };
    for (const Row& row : rows) {
        platform::FileStamp stamp;
        stamp.modified = row.modified;
        stamp.changed = row.changed;
        EXPECT_EQ(isSettled(stamp, begun), row.settled) << row.what;
    }
}

#ifndef _WIN32
// The log's error lines, in order.
std::vector<std::string> errorsLogged() {
    auto messages = logMessages();
    std::erase_if(messages, [](const std::string& m) { return !m.starts_with("Error"); });
    return messages;
}

// The file size limit stands in for a full disk: the manifest outgrows it, the log does not.
TEST_F(Scan, AManifestThatCannotBeWrittenIsReported) {
    for (int i = 0; i < 200; ++i)
        install.add("a-rather-long-folder-name/file-" + std::to_string(i) + ".txt", "a");
    {
        const FileSizeLimit full(4096);
        ASSERT_TRUE(full.active());
        scan();
    }
    EXPECT_EQ(errorsLogged(), std::vector<std::string>{"Error write Hashes.ini"});
}

// A link that loops cannot be examined at all; folder links are not entered; file links are
// hashed under their own name.
TEST_F(Scan, LinksAreHandledWithoutEndingTheWalk) {
    install.add("a.txt", "abc");
    install.add("real/b.txt", "c");
    fs::create_symlink("loop", install.folder / "loop");
    fs::create_symlink("nowhere", install.folder / "dangling");
    fs::create_directory_symlink("real", install.folder / "linkdir");
    fs::create_symlink("a.txt", install.folder / "filelink");
    install.expected["filelink"] = crcText("abc");

    scan();

    EXPECT_EQ(sortedLines(hashesPath.get()), install.lines());
    const std::vector<std::string> loopError{"Error listing file:" + install.root + "loop"};
    EXPECT_EQ(errorsLogged(), loopError) << "a dangling link is simply not a file";
}

// Runs the scan in a child process as an unprivileged user: as root nothing is unreadable.
TEST_F(Scan, UnreadableFilesAndFoldersDoNotEndTheScan) {
    install.add("ok.txt", "abc");
    install.add("after/z.txt", "c");
    writeFile(install.folder / "locked.bin", "secret");
    install.expected["locked.bin"] = "0";
    writeFile(install.folder / "closed" / "inner.txt", "hidden");
    for (const char* shut : {"locked.bin", "closed"})
        fs::permissions(install.folder / shut, fs::perms::none);
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
        scan();
        _exit(scannedFiles.size() == 3 ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    for (const char* shut : {"locked.bin", "closed"})
        fs::permissions(install.folder / shut, fs::perms::owner_all);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "running as root and cannot become nobody";
    if (WEXITSTATUS(status) == 78) GTEST_SKIP() << "permissions do not stop this user reading";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "three records kept";

    EXPECT_EQ(sortedLines(hashesPath.get()), install.lines());
    // The walk lists everything before the first file is hashed.
    EXPECT_EQ(errorsLogged(),
              (std::vector<std::string>{"Error listing folder:" + install.root + "closed",
                                        "Error hashing file:" + install.root + "locked.bin"}));
    EXPECT_EQ(statistics(1), std::vector<std::string>{"Total number of data: 3"});
}

// The `-h` mode of the built program, from the command line to the shown manifest.
TEST(InstallHashing, DashHWritesTheManifestShowsItAndEnds) {
    TempDir dir;
    Installation install(dir);
    const fs::path home = dir.path() / "home", bin = dir.path() / "bin";
    fs::create_directories(home);
    install.add("Astrovance/EXE/Astrovance.exe", "abc");
    install.add("Astrovance/Data/textures.pak", std::string(1536 * 1024, 't'));
    install.add("readme.txt", "c");
    install.add("empty.dat", "");
    for (const char* file : {"Release/build.log", "Launcher.exe"})
        writeFile(install.folder / file, "left out");

    // Stands in for the desktop's handler and records what it was asked to open; the record
    // appears whole, by a rename, because the test polls for it.
    const std::string record = (dir.path() / "opened").string();
    writeFile(bin / "xdg-open", "#!/bin/sh\nprintf '%s' \"$1\" > \"" + record + ".part\" && mv \"" +
                                    record + ".part\" \"" + record + "\"\n");
    fs::permissions(bin / "xdg-open", fs::perms::owner_all);

    const std::string command =
        "cd '" + install.root + "' && env -u XDG_DOCUMENTS_DIR HOME='" + home.string() +
        "' XDG_CONFIG_HOME='" + (home / ".config").string() + "' PATH='" + bin.string() +
        "':\"$PATH\" '" ORV_LAUNCHER_PATH "' -h 2>'" + (dir.path() / "stderr").string() + "'";
    const int status = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);

    const fs::path manifest = home / "Documents" / "My Games" / "ORV" / "Hashes.ini";
    EXPECT_EQ(sortedLines(manifest), install.lines());
    EXPECT_NE(readFile(dir.path() / "stderr").find("Installation Hashing complete"),
              std::string::npos);

    // The handler is started detached: give it a moment.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!fs::exists(record) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(readFile(record), manifest.string());

    // The log tells the mode and the scan's figures.
    std::string log;
    for (const auto& entry : fs::directory_iterator(manifest.parent_path() / "Logs"))
        log += readFile(entry.path());
    for (const char* line : {" - -h found - Hashing Install\n", " - Total number of data: 6\n",
                             " - Number of processed data: 4\n", " - Exceptions: 2\n"})
        EXPECT_NE(log.find(line), std::string::npos) << line;
}
#endif

}  // namespace
