#include "platform/posix/spawn.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <sstream>

namespace platform {

void spawnDetached(const std::vector<std::string>& argv, const std::string& workingDirectory) {
    if (argv.empty()) return;
    // Everything the children need is prepared before fork: after it, only async-signal-safe calls.
    std::vector<char*> args;
    for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    const char* folder = workingDirectory.empty() ? nullptr : workingDirectory.c_str();

    const pid_t child = fork();
    if (child < 0) return;
    if (child == 0) {
        if (fork() != 0) _exit(0);
        setsid();
        if (folder && chdir(folder) != 0) _exit(127);
        const int devNull = open("/dev/null", O_RDONLY);
        if (devNull >= 0) dup2(devNull, STDIN_FILENO);
        execvp(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
}

bool onPath(const std::string& name) {
    if (name.find('/') != std::string::npos) return access(name.c_str(), X_OK) == 0;
    const char* path = std::getenv("PATH");
    std::istringstream folders(path ? path : "");
    for (std::string folder; std::getline(folders, folder, ':');) {
        // An empty entry means the current directory.
        const std::string candidate = (folder.empty() ? std::string(".") : folder) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0) return true;
    }
    return false;
}

}  // namespace platform
