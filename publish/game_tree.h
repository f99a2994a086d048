// The files of an installation's game folder, as a publish takes them: sorted by key, and those
// that players would never get set apart with the reason.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct TreeFile {
    std::string key;   // below "Astrovance", "/" between folders
    std::string path;  // on this disk
    std::uint64_t size = 0;
};

struct RefusedFile {
    std::string key;
    std::string reason;
};

struct GameTree {
    std::vector<TreeFile> files;       // ascending by key, byte by byte
    std::vector<RefusedFile> refused;  // ascending by key
};

// The game folder "Astrovance" below `root`. Throws std::runtime_error when there is none or a
// folder cannot be read. Links to files count as the files; links to folders are not followed.
GameTree listGameTree(const std::string& root);

// Text for people: "1.4 MiB".
std::string byteCount(std::uint64_t bytes);
