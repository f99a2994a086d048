#include "core/text.h"

#include <type_traits>

#include "platform/platform.h"

namespace fs = std::filesystem;

namespace {

// Templates, so that only the branch of this system's native path text is compiled.
template <class Native>
Native nativeOf(const std::string& narrow) {
    if constexpr (std::is_same_v<typename Native::value_type, char>) {
        return narrow;
    } else {
        const std::u16string wide = toWide(narrow);
        return Native(wide.begin(), wide.end());
    }
}

template <class Native>
std::string narrowOf(const Native& native) {
    if constexpr (std::is_same_v<typename Native::value_type, char>) {
        return native;
    } else {
        return toNarrow(std::u16string(native.begin(), native.end()));
    }
}

}  // namespace

std::u16string toWide(std::string narrow) {
    return platform::narrowToWide(narrow.c_str());
}

std::string toNarrow(std::u16string wide) {
    return platform::wideToNarrow(wide.c_str());
}

fs::path toPath(const std::string& narrow) {
    return fs::path(nativeOf<fs::path::string_type>(narrow));
}

std::string nativePathText(const fs::path::string_type& native) {
    return narrowOf(native);
}

std::string pathText(const fs::path& path) {
    return narrowOf(path.native());
}
