#include "integrity/scan.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <functional>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "core/ini_document.h"
#include "core/log.h"
#include "core/patch_progress.h"
#include "core/text.h"
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

// The log from the scan's last "Total number of data" line on (at most `count` lines), the time
// line checked and replaced; and the log's error lines.
std::vector<std::string> statistics(std::size_t count = 99) {
    const auto messages = logMessages();
    const auto first = std::find_if(messages.rbegin(), messages.rend(), [](const std::string& m) {
        return m.starts_with("Total number of data: ");
    });
    if (first == messages.rend()) return {};
    std::vector<std::string> lines(first.base() - 1, messages.end());
    if (std::regex_match(lines.back(), std::regex(R"(The processing took: \d+\.\d{6} seconds)")))
        lines.back() = "<took>";
    lines.resize(std::min(lines.size(), count));
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

// The excluded count runs over the whole launcher run: the second scan reports the first's.
TEST_F(Scan, WritesOneManifestLinePerFileKeepsTheRecordsAndCountsExclusionsAcrossScans) {
    Installation excludedOnly(dir.path() / "excluded");
    for (const char* file : {"hashes.ini", "Release/game.dat", "tools/.svn/x/y", "Launcher.exe"})
        writeFile(excludedOnly.folder / file, "skip me");
    scan(excludedOnly);
    EXPECT_EQ(readFile(hashesPath.get()), "");
    EXPECT_TRUE(scannedFiles.empty());
    EXPECT_EQ(statistics(3),
              (std::vector<std::string>{"Total number of data: 4", "Number of processed data: 0",
                                        "Exceptions: 4"}));

    for (const char* file : {"Z/1", "Z/2", "_/1", "a/x/1", "Astrovance/EXE/Astrovance.exe"})
        install.add(file, file);
    install.add("empty", "");
    install.add("c.txt", "c");
    install.add("Hashes.ini", "capital H is not the manifest");
    install.add("Data/deep/er/large.bin", std::string(2 * 1024 * 1024 + 3, 'x'));
    scan(install);
    EXPECT_EQ(PatchProgress.phase.load(), Scanning);
    EXPECT_EQ(sortedLines(hashesPath.get()), install.manifestLines());
    EXPECT_EQ(IniDocument::parsePairs(readFile(hashesPath.get())), install.expected)
        << "as updates read it";
    ASSERT_EQ(scannedFiles.size(), 9u);
    for (const ScannedFile& file : scannedFiles) {
        EXPECT_EQ(formatChecksum(file.checksum), install.expected[file.relativePath])
            << file.relativePath;
        EXPECT_EQ(file.fileName, fs::path(file.relativePath).filename().string());
    }
    // Folder lines come in byte order of the folder text, not in walk or case-blind order.
    const auto folder = [](std::string name, int files) {
        std::replace(name.begin(), name.end(), '/', platform::pathSeparator);
        return "Folder " + name + " Data: " + std::to_string(files);
    };
    EXPECT_EQ(statistics(),
              (std::vector<std::string>{"Total number of data: 9", "Number of processed data: 9",
                                        "Exceptions: 4", folder("", 3), folder("Astrovance/EXE", 1),
                                        folder("Data/deep/er", 1), folder("Z", 2), folder("_", 1),
                                        folder("a/x", 1), "<took>"}));

    // -h wants the manifest alone: the same lines, and no records held for updates to come.
    scan(install, ScanMode::Report);
    EXPECT_EQ(sortedLines(hashesPath.get()), install.manifestLines());
    EXPECT_TRUE(scannedFiles.empty());

    // A manifest that cannot be opened costs the report its file, not the updates their records:
    // without them every file on disk would pass as current.
    useUserFolder(dir);
    hashesPath.set(dir.file("no such folder/Hashes.ini"));
    scan(install);
    EXPECT_EQ(scannedFiles.size(), 9u);
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
            {path, text(path, std::stoul(line.substr(path.size() + 3), nullptr, 16)), ""});
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
    using Change = std::function<void(const fs::path& folder)>;
    const auto rename = [](const char* from, const char* to) -> Change {
        return [=](const fs::path& folder) { fs::rename(folder / from, folder / to); };
    };
    const auto none = [](const fs::path&) {};
    const auto setTime = [](fs::file_time_type time) -> Change {
        return [=](const fs::path& folder) { fs::last_write_time(folder / "a.dat", time); };
    };
    const auto now = fs::file_time_type::clock::now();
    struct Row {
        const char* change;
        Change apply;
        std::set<std::string> readAgain;
        Change beforeFirstScan;
        bool needsLinks = false;
    };
    const Row rows[] = {
        {"nothing", none, {}, none},
        {"content changed, same size, time set back",
         [](const fs::path& f) { rewriteKeepingTime(f / "a.dat", "alpha-2"); },
         {"a.dat"},
         none},
        {"replaced by a rename with the same size and time",
         [](const fs::path& f) {
             writeFile(f / "b.new", "bravo-2");
             fs::last_write_time(f / "b.new", fs::last_write_time(f / "b.dat"));
             fs::rename(f / "b.new", f / "b.dat");
         },
         {"b.dat"},
         none},
        {"deleted", [](const fs::path& f) { fs::remove(f / "x/c.dat"); }, {}, none},
        {"added",
         [](const fs::path& f) { writeFile(f / "x/new.dat", "new"); },
         {"x/new.dat"},
         none},
        {"folder renamed", rename("x", "z"), {"z/c.dat", "z/y/d.dat"}, none},
        {"two folders swapped",
         [&](const fs::path& f) {
             for (const auto& [from, to] : {std::pair{"p", "t"}, {"r", "p"}, {"t", "r"}})
                 rename(from, to)(f);
         },
         {"p/q.dat", "r/q.dat"},
         none},
        {"folder renamed to an excluded name", rename("x", "Release"), {}, none},
        {"file replaced by a folder of its name",
         [](const fs::path& f) {
             fs::remove(f / "b.dat");
             writeFile(f / "b.dat/inner", "inner");
         },
         {"b.dat/inner"},
         none},
        {"content changed through a hard link, time set back",
         [](const fs::path& f) { rewriteKeepingTime(f / "h2.dat", "hotel-2"); },
         {"h1.dat", "h2.dat"},
         none},
        {"link pointed at another file of the same size",
         [](const fs::path& f) {
             fs::remove(f / "current");
             fs::create_symlink("v2.dat", f / "current");
         },
         {"current"},
         none,
         true},
        // Racily clean: a change within the same clock step would leave the same stamp.
        {"time set to the whole second the first scan began in",
         none,
         {"a.dat"},
         setTime(std::chrono::floor<std::chrono::seconds>(now))},
        {"dated ahead of the first scan", none, {"a.dat"}, setTime(now + std::chrono::hours(1))},
        {"changed after an incremental scan took its checksum over",
         [&](const fs::path& f) {
             hashExistingFiles(pathText(f) + platform::pathSeparator, excluded, scanLock,
                               ScanMode::Incremental);
             rewriteKeepingTime(f / "a.dat", "alpha-2");
         },
         {"a.dat"},
         none},
    };

    // Every tree is made first, then left to settle once for all rows.
    std::vector<Installation> trees;
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        Installation& tree = trees.emplace_back(dir.path() / ("tree" + std::to_string(i)));
        for (const auto& [file, content] : {std::pair{"a.dat", "alpha-1"},
                                            {"b.dat", "bravo-1"},
                                            {"empty", ""},
                                            {"x/c.dat", "charlie"},
                                            {"x/y/d.dat", "delta"},
                                            {"p/q.dat", "papa"},
                                            {"r/q.dat", "rome"},
                                            {"h1.dat", "hotel-1"},
                                            {"v1.dat", "ver-1"},
                                            {"v2.dat", "ver-2"}})
            tree.add(file, content);
        fs::create_hard_link(tree.folder / "h1.dat", tree.folder / "h2.dat");
        // The two q.dat files are made alike in size and both times, so that only their identity
        // tells the swapped folders apart (where the file clock lets both land in one step).
        const fs::path p = tree.folder / "p/q.dat", r = tree.folder / "r/q.dat";
        const auto time = fs::last_write_time(p);
        for (int attempt = 0; attempt < 50; ++attempt) {
            const auto one = platform::fileStamp(p.string()),
                       other = platform::fileStamp(r.string());
            if (one && other && one->modified == other->modified && one->changed == other->changed)
                break;
            fs::last_write_time(p, time);
            fs::last_write_time(r, time);
        }
#ifndef _WIN32
        fs::create_symlink("v1.dat", tree.folder / "current");
#endif
    }
    std::this_thread::sleep_for(coarseClockWindow + std::chrono::milliseconds(100));

    for (std::size_t i = 0; i < std::size(rows); ++i) {
        const Row& row = rows[i];
        SCOPED_TRACE(row.change);
#ifdef _WIN32
        if (row.needsLinks) continue;
#endif
        row.beforeFirstScan(trees[i].folder);
        scan(trees[i]);
        ASSERT_FALSE(scannedFiles.empty());
        for (ScannedFile& file : scannedFiles) file.checksum = ~file.checksum;
        row.apply(trees[i].folder);

        std::int32_t before = excluded;
        scan(trees[i], ScanMode::Incremental);
        const ScanView later = scanView();
        const std::int32_t excludedLater = excluded - before;
        before = excluded;
        scan(trees[i]);
        std::set<std::string> readAgain;
        for (std::string path : row.readAgain) {
            std::replace(path.begin(), path.end(), '/', platform::pathSeparator);
            readAgain.insert(path);
        }
        EXPECT_EQ(later, scanView(readAgain, true));
        EXPECT_EQ(excludedLater, excluded - before);
    }
}

// When a stamp may vouch for a file in a later scan: both times must lie a clock step before the
// scan began, a step being two seconds for whole-second times.
TEST(ScanStamps, StampsWithinAClockStepOfTheScanDoNotVouchForTheFile) {
    constexpr std::int64_t second = platform::fileTimeUnitsPerSecond, ms = second / 1000;
    const std::int64_t begun = 1'700'000'000 * second + 500 * ms;  // half past a second
    const std::int64_t old = begun - 3600 * second + 123 * ms;
    const std::tuple<const char*, std::int64_t, std::int64_t, bool> rows[] = {
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
    for (const auto& [what, modified, changed, settled] : rows) {
        platform::FileStamp stamp;
        stamp.modified = modified;
        stamp.changed = changed;
        EXPECT_EQ(isSettled(stamp, begun), settled) << what;
    }
}

#ifndef _WIN32
// Loops, dangling links and folder links do not end the walk: a loop cannot be examined at all,
// folder links are not entered, file links are hashed under their own name. A manifest that
// outgrows a full disk (the file size limit: the log stays small) is reported.
TEST_F(Scan, LinksAndAFullDiskDoNotEndTheScan) {
    install.add("a.txt", "abc");
    install.add("real/b.txt", "c");
    fs::create_symlink("loop", install.folder / "loop");
    fs::create_symlink("nowhere", install.folder / "dangling");
    fs::create_directory_symlink("real", install.folder / "linkdir");
    fs::create_symlink("a.txt", install.folder / "filelink");
    install.expected["filelink"] = contentChecksum("abc");
    scan(install);
    EXPECT_EQ(sortedLines(hashesPath.get()), install.manifestLines());
    EXPECT_EQ(errorsLogged(),
              std::vector<std::string>{"Error listing file:" + install.root + "loop"});

    for (int i = 0; i < 200; ++i)
        install.add("a-rather-long-folder-name/file-" + std::to_string(i), "a");
    useUserFolder(dir);
    {
        const FileSizeLimit full(4096);
        ASSERT_TRUE(full.active());
        scan(install);
    }
    EXPECT_EQ(errorsLogged(),
              (std::vector<std::string>{"Error listing file:" + install.root + "loop",
                                        "Error write Hashes.ini"}));
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
        scan(install);
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
    EXPECT_EQ(sortedLines(hashesPath.get()), install.manifestLines());
    // The walk lists everything before the first file is hashed.
    EXPECT_EQ(errorsLogged(),
              (std::vector<std::string>{"Error listing folder:" + install.root + "closed",
                                        "Error hashing file:" + install.root + "locked.bin"}));
    EXPECT_EQ(statistics(1), std::vector<std::string>{"Total number of data: 3"});
}

// The `-h` mode of the built program, from the command line to the shown manifest.
TEST(InstallHashing, DashHWritesTheManifestShowsItAndEnds) {
    TempDir dir;
    Installation install(dir.path() / "install");
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
    EXPECT_EQ(sortedLines(manifest), install.manifestLines());
    EXPECT_NE(readFile(dir.path() / "stderr").find("Installation Hashing complete"),
              std::string::npos);
    // The handler is started detached: give it a moment.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!fs::exists(record) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(readFile(record), manifest.string());
}
#endif

}  // namespace
