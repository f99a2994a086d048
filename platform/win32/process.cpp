#include <windows.h>

#include <bcrypt.h>

#include <cstdio>
#include <cstdlib>

#include "platform/platform.h"

namespace platform {

bool secureRandom(void* buffer, std::size_t size) {
    return BCryptGenRandom(nullptr, static_cast<PUCHAR>(buffer), static_cast<ULONG>(size),
                           BCRYPT_USE_SYSTEM_PREFERRED_RNG) == 0;
}

// NTFS replaces a file by rename without flushing it first, and its lazy writer keeps up.
void startWriteback(std::FILE*, std::uint64_t) {}

bool flushFileToDisk(const std::string& path) {
    const HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    const bool ok = FlushFileBuffers(file) != 0;
    CloseHandle(file);
    return ok;
}

void exitProcess(int status) {
    if (processEndObserver) processEndObserver(status);
    std::fflush(nullptr);
    // Ends the other threads before anything of the process is torn down.
    ExitProcess(static_cast<UINT>(status));
}

void terminateProcess(int status) {
    if (processEndObserver) processEndObserver(status);
    ExitProcess(static_cast<UINT>(status));
}

}  // namespace platform
