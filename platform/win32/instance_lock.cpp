#include <windows.h>

#include <set>

#include "platform/platform.h"

namespace platform {

bool claimInstance(const std::string& name, const std::string&) {
    static std::set<std::string> claimed;
    if (claimed.contains(name)) return true;
    const std::u16string wide = u"Local\\" + narrowToWide(name.c_str());
    // Never closed: the mutex is the claim, and it ends with the process.
    const HANDLE mutex =
        CreateMutexW(nullptr, FALSE, reinterpret_cast<const wchar_t*>(wide.c_str()));
    if (!mutex) return true;
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(mutex);
        return false;
    }
    claimed.insert(name);
    return true;
}

}  // namespace platform
