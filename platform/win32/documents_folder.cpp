#include <windows.h>

#include <shlobj.h>

#include "platform/platform.h"

namespace platform {

std::optional<std::u16string> documentsFolder() {
    wchar_t folder[MAX_PATH];
    if (SHGetFolderPathW(nullptr, CSIDL_PERSONAL, nullptr, SHGFP_TYPE_CURRENT, folder) != S_OK)
        return std::nullopt;
    return std::u16string(reinterpret_cast<const char16_t*>(folder));
}

}  // namespace platform
