// Keys of the servers' manifests decide where files are written: an accepted key always lands
// below the game folder, and two spellings of one path give one lookup key.
#include <cstdlib>
#include <filesystem>

#include "fuzz/fuzz_support.h"
#include "patch/update_from_web.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string key = bytesText(data, size);
    const auto target = resolveManifestKey(".", key);
    (void)pathKey(key);
    (void)forwardSlashes(key);
    if (!target) return 0;
    const std::filesystem::path relative(target->relative);
    if (relative.is_absolute() || relative.has_root_name() || relative.has_root_directory())
        std::abort();
    auto element = relative.begin();
    if (element == relative.end() || *element != "Astrovance") std::abort();
    int depth = 0;
    for (; element != relative.end(); ++element) {
        if (*element == "..")
            --depth;
        else if (*element != "." && !element->empty())
            ++depth;
        if (depth < 1) std::abort();
    }
    if (depth < 2) std::abort();  // a file below the game folder, not the folder itself
    return 0;
}
