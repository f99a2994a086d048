// The one rule of what the launcher may write or delete: every path it accepts, joined onto the
// game folder, stays below it, and every spelling of one file gives that file's one target.
#include <cstdlib>
#include <filesystem>

#include "core/install_path.h"
#include "fuzz/fuzz_support.h"

namespace {

// The same path spelt otherwise: "\" for "/" and back, separators doubled, "./" in front and
// behind each of them.
std::string otherSpelling(const std::string& path) {
    std::string spelt = ".\\";
    for (const char c : path) {
        if (c == '/' || c == '\\')
            spelt += c == '/' ? "\\\\./" : "//.\\";
        else
            spelt += c;
    }
    return spelt;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string path = bytesText(data, size);
    const InstallPath checked = checkInstallPath(path);
    if (checked.relative.empty() == checked.refusal.empty()) std::abort();
    if (!checked) return 0;

    const std::filesystem::path game("Astrovance");
    const std::filesystem::path joined = (game / checked.relative).lexically_normal();
    if (joined.has_root_name() || joined.has_root_directory()) std::abort();
    auto element = joined.begin();
    if (element == joined.end() || *element != game) std::abort();
    if (++element == joined.end()) std::abort();  // a file below the folder, not the folder
    for (; element != joined.end(); ++element) {
        const std::string name = element->string();
        if (name.empty() || name == "." || name == ".." || name.back() == '.' || name.back() == ' ')
            std::abort();
    }
    if (checked.relative.find_first_of(":\\") != std::string::npos) std::abort();

    // Checked again, and spelt otherwise, it is the same file.
    const InstallPath again = checkInstallPath(checked.relative);
    const InstallPath other = checkInstallPath(otherSpelling(path));
    if (again.relative != checked.relative || other.relative != checked.relative) std::abort();
    if (sameFileKey(again.relative) != sameFileKey(checked.relative)) std::abort();
    return 0;
}
