// std::u16string and Windows' wchar_t are both UTF-16 here; these views convert without copying.
#pragma once

#include <windows.h>

#include <string>

namespace platform {

inline const wchar_t* wideChars(const std::u16string& text) {
    return reinterpret_cast<const wchar_t*>(text.c_str());
}

}  // namespace platform
