// The `-h` mode of the built program, from the command line to the shown manifest.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "tests/support/temp_dir.h"

#ifndef _WIN32
#include <sys/wait.h>
#endif

namespace fs = std::filesystem;

namespace {

#ifndef _WIN32
std::string crcLine(const std::string& path, const std::string& data) {
    char text[16];
    std::snprintf(
        text, sizeof text, "%lx",
        crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
    return path + " = " + text;
}

std::vector<std::string> sortedLines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(text.substr(start, end - start));
    if (start < text.size()) lines.push_back(text.substr(start));
    std::sort(lines.begin(), lines.end());
    return lines;
}
#endif

TEST(InstallHashing, DashHWritesTheManifestShowsItAndEnds) {
#ifdef _WIN32
    GTEST_SKIP() << "runs the program with a POSIX shell and a stand-in for xdg-open";
#else
    TempDir dir;
    const fs::path tree = dir.path() / "install";
    const fs::path home = dir.path() / "home";
    const fs::path bin = dir.path() / "bin";
    fs::create_directories(home);
    std::vector<std::string> expected;
    auto add = [&](const std::string& path, const std::string& data) {
        writeFile(tree / path, data);
        expected.push_back(crcLine(path, data));
    };
    add("Astrovance/EXE/Astrovance.exe", "abc");
    add("Astrovance/Data/textures.pak", std::string(1536 * 1024, 't'));
    add("readme.txt", "c");
    add("empty.dat", "");
    writeFile(tree / "Release/build.log", "left out");
    writeFile(tree / "Launcher.exe", "left out");
    std::sort(expected.begin(), expected.end());

    // Stands in for the desktop's handler and records what it was asked to open; the record
    // appears whole, by a rename, because the test polls for it.
    const std::string record = (dir.path() / "opened").string();
    writeFile(bin / "xdg-open", "#!/bin/sh\nprintf '%s' \"$1\" > \"" + record + ".part\" && mv \"" +
                                    record + ".part\" \"" + record + "\"\n");
    fs::permissions(bin / "xdg-open", fs::perms::owner_all);

    const std::string command =
        "cd '" + tree.string() + "' && env -u XDG_DOCUMENTS_DIR HOME='" + home.string() +
        "' XDG_CONFIG_HOME='" + (home / ".config").string() + "' PATH='" + bin.string() +
        "':\"$PATH\" '" ORV_LAUNCHER_PATH "' -h 2>'" + (dir.path() / "stderr").string() + "'";
    const int status = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);

    const fs::path manifest = home / "Documents" / "My Games" / "ORV" / "Hashes.ini";
    EXPECT_EQ(sortedLines(readFile(manifest)), expected);
    EXPECT_NE(readFile(dir.path() / "stderr").find("Installation Hashing complete"),
              std::string::npos);

    // The handler is started detached: give it a moment.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!fs::exists(dir.path() / "opened") && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(readFile(dir.path() / "opened"), manifest.string());

    // The log tells the mode and the scan's figures.
    std::string log;
    for (const auto& entry : fs::directory_iterator(manifest.parent_path() / "Logs"))
        log += readFile(entry.path());
    for (const char* line : {" - -h found - Hashing Install\n", " - Total number of data: 6\n",
                             " - Number of processed data: 4\n", " - Exceptions: 2\n"})
        EXPECT_NE(log.find(line), std::string::npos) << line;
#endif
}

}  // namespace
