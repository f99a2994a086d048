#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <set>

#include "platform/platform.h"

namespace platform {

bool claimInstance(const std::string& name, const std::string& lockFolder) {
    // Claimed once, the lock stays with the process: its file stays open until the end.
    static std::set<std::string> claimed;
    if (claimed.contains(name)) return true;
    std::error_code ignored;
    std::filesystem::create_directories(lockFolder, ignored);
    const std::string path = lockFolder + "/" + name + ".lock";
    // Closed on exec, so the game and the programs of a script never hold it on our behalf.
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return true;
    while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EINTR) continue;
        const bool held = errno == EWOULDBLOCK;
        close(fd);
        return !held;
    }
    claimed.insert(name);
    return true;
}

}  // namespace platform
