// Writing into a download server's document root while players may be fetching from it: an
// update's folder is made aside and moved into place whole, and version.ini, which makes players
// take it, is replaced last and at once.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// "key = checksum" lines with CR LF, as a server manifest carries them.
std::string manifestText(const std::vector<std::pair<std::string, std::string>>& entries);

// The file's whole content; nothing when it does not exist. Throws std::runtime_error when it
// exists but cannot be read.
std::optional<std::string> readWholeFile(const std::filesystem::path& path);

// Writes `text` beside `path` and renames it over `path`. Throws std::runtime_error.
void replaceFile(const std::filesystem::path& path, const std::string& text);

// A folder made under a hidden name beside its final place and moved there by commit(); removed
// when it is never committed.
class StagedFolder {
public:
    explicit StagedFolder(std::filesystem::path final);  // throws std::runtime_error
    ~StagedFolder();
    StagedFolder(const StagedFolder&) = delete;
    StagedFolder& operator=(const StagedFolder&) = delete;

    const std::filesystem::path& path() const { return staged_; }
    // Replaces the final folder (and whatever it held) with this one. Throws std::runtime_error.
    void commit();

private:
    std::filesystem::path final_, staged_;
    bool committed_ = false;
};
