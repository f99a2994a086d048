#include "platform/posix/modules.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace platform {

std::string besideProgram(const std::string& fileName) {
#ifdef ORV_TEST_HOOKS
    if (const char* folder = std::getenv("ORV_TEST_MODULE_DIR")) return folder + ("/" + fileName);
#endif
    std::error_code error;
    const auto program = std::filesystem::read_symlink("/proc/self/exe", error);
    // Without /proc the loader's own search (LD_LIBRARY_PATH, the system folders) is all there is.
    if (error) return fileName;
    return (program.parent_path() / fileName).string();
}

bool displayNamed() {
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
        const char* value = std::getenv(name);
        if (value && *value) return true;
    }
    return false;
}

}  // namespace platform
