#include <windows.h>

#include <vector>

#include "platform/platform.h"

namespace platform {

std::u16string narrowToWide(const char* text) {
    const int units = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    if (units <= 0) return {};
    std::vector<wchar_t> buffer(static_cast<size_t>(units));
    if (MultiByteToWideChar(CP_ACP, 0, text, -1, buffer.data(), units) <= 0) return {};
    return std::u16string(reinterpret_cast<const char16_t*>(buffer.data()));
}

std::string wideToNarrow(const char16_t* text) {
    const auto* wide = reinterpret_cast<const wchar_t*>(text);
    const int bytes = WideCharToMultiByte(CP_ACP, 0, wide, -1, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) return {};
    std::vector<char> buffer(static_cast<size_t>(bytes));
    if (WideCharToMultiByte(CP_ACP, 0, wide, -1, buffer.data(), bytes, nullptr, nullptr) <= 0)
        return {};
    return std::string(buffer.data());
}

}  // namespace platform
