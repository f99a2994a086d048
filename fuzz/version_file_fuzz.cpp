// The download server's version file: any text reads into a VersionInfo whose updates are
// ascending and unique, with a type and a path each taken from one line.
#include <cstdlib>

#include "fuzz/fuzz_support.h"
#include "patch/version_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const VersionInfo info = readVersionFile(bytesText(data, size));
    for (std::size_t i = 1; i < info.updates.size(); ++i)
        if (!versionLess(info.updates[i - 1].version, info.updates[i].version)) std::abort();
    for (const auto& update : info.updates)
        if (update.version.find('\n') != std::string::npos ||
            update.path.find('\n') != std::string::npos)
            std::abort();
    return 0;
}
