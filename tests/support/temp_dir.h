#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <vector>

// A fresh folder for one test, removed with everything in it at the end of the test.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    // The path of `relative` inside the folder, as narrow text.
    std::string file(const std::string& relative) const;

private:
    std::filesystem::path path_;
};

std::string readFile(const std::filesystem::path& path);
// The file as a text-mode stream reads it: Windows' CR LF line ends come back as LF.
std::string readTextFile(const std::filesystem::path& path);
void writeFile(const std::filesystem::path& path, const std::string& content);
// Every file and link below `folder`, relative to it with "/" separators, sorted.
std::vector<std::string> filesBelow(const std::filesystem::path& folder);

// Makes `folder` the working folder until destroyed, whatever way the test leaves the scope.
class WorkingFolder {
public:
    explicit WorkingFolder(const std::filesystem::path& folder)
        : saved_(std::filesystem::current_path()) {
        std::filesystem::current_path(folder);
    }
    ~WorkingFolder() {
        std::error_code ignored;
        std::filesystem::current_path(saved_, ignored);
    }
    WorkingFolder(const WorkingFolder&) = delete;
    WorkingFolder& operator=(const WorkingFolder&) = delete;

private:
    std::filesystem::path saved_;
};

// Points the user folder at <folder>/Documents/My Games/ORV and opens a fresh log there.
void useUserFolder(const TempDir& folder);

// The messages of the run's log, without their time stamps.
std::vector<std::string> logMessages();

// The checksum text of the bytes, as manifests carry it.
std::string contentChecksum(const std::string& content);

// The one installation builder of the tests: files written below `folder`, each remembered with
// its checksum under its manifest key ("a/b" with the platform's separator).
struct Installation {
    explicit Installation(const std::filesystem::path& folder);
    void add(const std::string& relative, const std::string& content);
    // "key = checksum" for every file added, sorted, as a scan's manifest holds them.
    std::vector<std::string> manifestLines() const;

    std::filesystem::path folder;
    std::string root;  // the folder's text ending in a separator, as a scan takes it
    std::map<std::string, std::string> expected;
};
