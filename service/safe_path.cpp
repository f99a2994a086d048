#include "service/safe_path.h"

#include <algorithm>

namespace fs = std::filesystem;

ResolvedPath resolveServedFile(const fs::path& root, const std::string& requestPath) {
    if (requestPath.empty() || requestPath.front() != '/') return {PathVerdict::Refused, {}};
    // Backslashes and colons mean something to Windows file systems (separators, drives,
    // alternate streams); nothing the download server publishes needs them.
    if (requestPath.find_first_of(std::string("\\:\0", 3)) != std::string::npos) {
        return {PathVerdict::Refused, {}};
    }

    fs::path relative;
    size_t start = 1;
    while (start <= requestPath.size()) {
        size_t end = requestPath.find('/', start);
        if (end == std::string::npos) end = requestPath.size();
        const std::string segment = requestPath.substr(start, end - start);
        const bool last = end == requestPath.size();
        if (segment.empty()) {
            // A trailing "/" names a folder, which is never served; "//" anywhere else is an
            // attempt at an absolute or otherwise odd path.
            if (last) return {PathVerdict::Missing, {}};
            return {PathVerdict::Refused, {}};
        }
        if (segment == "." || segment == "..") return {PathVerdict::Refused, {}};
        relative /= segment;
        start = end + 1;
    }
    if (relative.empty()) return {PathVerdict::Missing, {}};

    std::error_code error;
    const fs::path base = fs::canonical(root, error);
    if (error) return {PathVerdict::Missing, {}};
    const fs::path target = fs::canonical(base / relative, error);
    if (error) return {PathVerdict::Missing, {}};

    // Symlinks are followed by canonical(); whatever they point at must still lie below root.
    const auto [baseEnd, targetEnd] =
        std::mismatch(base.begin(), base.end(), target.begin(), target.end());
    if (baseEnd != base.end()) return {PathVerdict::Refused, {}};
    if (!fs::is_regular_file(target, error)) return {PathVerdict::Missing, {}};
    return {PathVerdict::Found, target};
}
