#include "tests/support/links.h"

#ifdef _WIN32
#include <windows.h>
#endif

#include "tests/support/temp_dir.h"

namespace fs = std::filesystem;

bool makeFolderLink(const fs::path& target, const fs::path& link) {
#ifdef _WIN32
    // libstdc++ makes no links on Windows, and Wine reports one made that is not: ask the file.
    CreateSymbolicLinkW(
        link.c_str(), target.c_str(),
        SYMBOLIC_LINK_FLAG_DIRECTORY | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE);
    const DWORD attributes = GetFileAttributesW(link.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
#else
    std::error_code error;
    fs::create_directory_symlink(target, link, error);
    return !error;
#endif
}

bool symbolicLinksWork() {
    static const bool work = [] {
        const TempDir scratch;
        fs::create_directory(scratch.path() / "target");
        return makeFolderLink(scratch.path() / "target", scratch.path() / "link");
    }();
    return work;
}
