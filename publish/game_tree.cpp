#include "publish/game_tree.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <stdexcept>

#include "core/text.h"
#include "publish/key_rules.h"

namespace fs = std::filesystem;

namespace {

std::string asciiLower(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

// Windows keeps one file where Linux has two names that differ in case only.
void refuseCaseTwins(GameTree& tree) {
    std::map<std::string, std::string> seen;
    std::vector<TreeFile> kept;
    for (TreeFile& file : tree.files) {
        const auto [first, added] = seen.emplace(asciiLower(file.key), file.key);
        if (added) {
            kept.push_back(std::move(file));
        } else {
            tree.refused.push_back(
                {file.key, "on Windows it is the same file as \"" + first->second + "\""});
        }
    }
    tree.files = std::move(kept);
}

}  // namespace

GameTree listGameTree(const std::string& root) {
    const fs::path game = toPath(root) / "Astrovance";
    std::error_code error;
    if (!fs::is_directory(game, error))
        throw std::runtime_error(pathText(game) +
                                 " is no folder: an installation root holds the "
                                 "game folder Astrovance");
    GameTree tree;
    fs::recursive_directory_iterator walk(game, error);
    if (error) throw std::runtime_error("cannot read " + pathText(game) + ": " + error.message());
    for (; walk != fs::recursive_directory_iterator(); walk.increment(error)) {
        if (error) break;
        const fs::directory_entry& entry = *walk;
        const std::string key = entry.path().lexically_relative(game).generic_string();
        if (entry.is_symlink(error) && entry.is_directory(error)) {
            tree.refused.push_back({key, "it is a link to a folder, which is not followed"});
        } else if (entry.is_regular_file(error)) {
            const std::string reason = keyRefusal(key, KeySource::Tree);
            if (reason.empty()) {
                tree.files.push_back({key, pathText(entry.path()), entry.file_size(error)});
            } else {
                tree.refused.push_back({key, reason});
            }
        } else if (!entry.is_directory(error)) {
            tree.refused.push_back({key, "it is neither a file nor a folder"});
        }
        if (error) break;
    }
    if (error) throw std::runtime_error("cannot read " + pathText(game) + ": " + error.message());
    const auto byKey = [](const auto& a, const auto& b) { return a.key < b.key; };
    std::sort(tree.files.begin(), tree.files.end(), byKey);
    refuseCaseTwins(tree);
    std::sort(tree.refused.begin(), tree.refused.end(), byKey);
    return tree;
}

std::string byteCount(std::uint64_t bytes) {
    const char* units[] = {"bytes", "KiB", "MiB", "GiB", "TiB"};
    double value = static_cast<double>(bytes);
    int unit = 0;
    while (value >= 1024 && unit < 4) {
        value /= 1024;
        ++unit;
    }
    char text[32];
    if (unit == 0) {
        std::snprintf(text, sizeof text, "%llu bytes", static_cast<unsigned long long>(bytes));
    } else {
        std::snprintf(text, sizeof text, "%.1f %s", value, units[unit]);
    }
    return text;
}
