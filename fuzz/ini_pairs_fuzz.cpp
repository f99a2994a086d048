// Manifests and other pair texts from the servers: keys and values come out trimmed, one line
// each.
#include <cstdlib>

#include "core/ini_document.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    for (const auto& [key, value] : IniDocument::parsePairs(bytesText(data, size))) {
        if (key.find('\n') != std::string::npos || value.find('\n') != std::string::npos)
            std::abort();
        if (IniDocument::trim(key) != key || IniDocument::trim(value) != value) std::abort();
    }
    return 0;
}
