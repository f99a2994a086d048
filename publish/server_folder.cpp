#include "publish/server_folder.h"

#include <fcntl.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <stdexcept>

#include "core/text.h"

namespace fs = std::filesystem;

namespace {

void syncFile(const fs::path& path) {
    const int file = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (file < 0) return;
    ::fsync(file);
    ::close(file);
}

}  // namespace

std::string manifestText(const std::vector<std::pair<std::string, std::string>>& entries) {
    std::string text;
    for (const auto& [key, checksum] : entries) text += key + " = " + checksum + "\r\n";
    return text;
}

std::optional<std::string> readWholeFile(const fs::path& path) {
    std::error_code error;
    if (!fs::exists(path, error)) return std::nullopt;
    std::ifstream in(path, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in.good() && !in.eof()) throw std::runtime_error(pathText(path) + " cannot be read");
    return text;
}

void replaceFile(const fs::path& path, const std::string& text) {
    const fs::path staged = path.parent_path() / ("." + pathText(path.filename()) + ".orv-publish");
    {
        std::ofstream out(staged, std::ios::binary | std::ios::trunc);
        if (!(out << text) || !out.flush())
            throw std::runtime_error(pathText(staged) + " cannot be written");
    }
    syncFile(staged);
    std::error_code error;
    fs::rename(staged, path, error);
    if (error) {
        fs::remove(staged, error);
        throw std::runtime_error(pathText(path) + " cannot be replaced: " + error.message());
    }
}

StagedFolder::StagedFolder(fs::path final) : final_(std::move(final)) {
    staged_ = final_.parent_path() / ("." + pathText(final_.filename()) + ".orv-publish");
    std::error_code error;
    fs::remove_all(staged_, error);  // left by a publish that was cut short
    fs::create_directories(staged_, error);
    if (error) throw std::runtime_error(pathText(staged_) + " cannot be made: " + error.message());
}

StagedFolder::~StagedFolder() {
    std::error_code error;
    if (!committed_) fs::remove_all(staged_, error);
}

void StagedFolder::commit() {
    std::error_code error;
    const fs::path old = final_.parent_path() / ("." + pathText(final_.filename()) + ".orv-old");
    fs::remove_all(old, error);
    if (fs::exists(final_, error)) {
        fs::rename(final_, old, error);
        if (error)
            throw std::runtime_error(pathText(final_) + " cannot be replaced: " + error.message());
    }
    fs::rename(staged_, final_, error);
    if (error) {
        std::error_code ignored;
        if (fs::exists(old, ignored)) fs::rename(old, final_, ignored);
        throw std::runtime_error(pathText(final_) + " cannot be made: " + error.message());
    }
    committed_ = true;
    fs::remove_all(old, error);
}
