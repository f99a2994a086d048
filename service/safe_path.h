#pragma once

#include <filesystem>
#include <string>

// How a request path maps onto a served folder.
enum class PathVerdict {
    Found,    // a regular file inside the folder
    Missing,  // nothing there, or not a regular file
    Refused,  // the path tries to leave the folder or is malformed
};

struct ResolvedPath {
    PathVerdict verdict = PathVerdict::Missing;
    std::filesystem::path file;  // canonical path of the file when Found
};

// Resolves a decoded request path ("/updates/1.1/hashes.ini") below `root`. Dot segments,
// backslashes, empty segments, drive colons and symlinks that lead out of `root` are refused.
ResolvedPath resolveServedFile(const std::filesystem::path& root, const std::string& requestPath);
