#include "tests/support/temp_dir.h"

#include <algorithm>
#include <atomic>
#include <fstream>
#include <random>
#include <sstream>

#include "core/log.h"
#include "core/text.h"
#include "core/user_paths.h"
#include "integrity/checksum.h"

namespace fs = std::filesystem;

TempDir::TempDir() {
    static std::atomic<int> counter{0};
    std::random_device random;
    path_ = fs::temp_directory_path() /
            ("orv-test-" + std::to_string(random()) + "-" + std::to_string(counter++));
    fs::create_directories(path_);
}

TempDir::~TempDir() {
    std::error_code ignored;
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ignored);
    fs::remove_all(path_, ignored);
}

std::string TempDir::file(const std::string& relative) const {
    return pathText(path_ / toPath(relative));
}

std::string readFile(const fs::path& path) {
    return (std::ostringstream() << std::ifstream(path, std::ios::binary).rdbuf()).str();
}

std::string readTextFile(const fs::path& path) {
    return (std::ostringstream() << std::ifstream(path).rdbuf()).str();
}

void writeFile(const fs::path& path, const std::string& content) {
    if (path.has_parent_path()) fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

void useUserFolder(const TempDir& folder) {
    setUserPaths(folder.file("Documents"));
    openLog();
    // A log name has whole seconds: make sure each test starts with its own, empty file.
    std::error_code ignored;
    fs::remove(logPath.get(), ignored);
}

std::vector<std::string> logMessages() {
    std::ifstream in(logPath.get());
    std::vector<std::string> messages;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const auto separator = line.find(" - ");
        messages.push_back(separator == std::string::npos ? line : line.substr(separator + 3));
    }
    return messages;
}

std::vector<std::string> filesBelow(const fs::path& folder) {
    std::vector<std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        if (!entry.is_symlink() && !entry.is_regular_file()) continue;
        std::string name = pathText(entry.path().lexically_relative(folder));
        std::replace(name.begin(), name.end(), '\\', '/');
        files.push_back(std::move(name));
    }
    std::sort(files.begin(), files.end());
    return files;
}

std::string contentChecksum(const std::string& content) {
    return formatChecksum(continueChecksum(0, content.data(), content.size()));
}

Installation::Installation(const fs::path& folder)
    : folder(folder), root(pathText(folder) + platform::pathSeparator) {
    fs::create_directories(folder);
}

void Installation::add(const std::string& relative, const std::string& content) {
    writeFile(folder / toPath(relative), content);
    std::string key = relative;
    std::replace(key.begin(), key.end(), '/', platform::pathSeparator);
    expected[key] = contentChecksum(content);
}

std::vector<std::string> Installation::manifestLines() const {
    std::vector<std::string> lines;
    for (const auto& [key, checksum] : expected) lines.push_back(key + " = " + checksum);
    return lines;
}
