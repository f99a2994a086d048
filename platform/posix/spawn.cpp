#include "platform/posix/spawn.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <sstream>
#include <thread>

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

std::optional<int> runProgram(const std::vector<std::string>& argv,
                              const std::vector<std::string>& environment,
                              std::chrono::milliseconds timeout) {
    if (argv.empty()) return std::nullopt;
    std::vector<char*> args, variables;
    for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    for (const auto& variable : environment)
        variables.push_back(const_cast<char*>(variable.c_str()));
    args.push_back(nullptr);
    variables.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (const int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO})
        posix_spawn_file_actions_addopen(&actions, fd, "/dev/null",
                                         fd == STDIN_FILENO ? O_RDONLY : O_WRONLY, 0);
    pid_t child = 0;
    const int failed =
        posix_spawnp(&child, args[0], &actions, nullptr, args.data(), variables.data());
    posix_spawn_file_actions_destroy(&actions);
    if (failed != 0) return std::nullopt;

    const auto deadline = std::chrono::steady_clock::now() + timeout;
    int status = 0;
    for (;;) {
        const pid_t ended = waitpid(child, &status, WNOHANG);
        if (ended == child) break;
        if (ended < 0 && errno != EINTR) return std::nullopt;
        if (std::chrono::steady_clock::now() >= deadline) {
            kill(child, SIGKILL);
            while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
            }
            return std::nullopt;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!WIFEXITED(status)) return std::nullopt;
    return WEXITSTATUS(status);
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
