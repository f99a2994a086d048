#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/spawn.h"

namespace platform {

void shellOpen(const std::u16string& target) {
    spawnDetached({"xdg-open", wideToNarrow(target.c_str())}, "");
}

namespace {

// Windows programs start with the "MZ" signature; they run through Wine.
bool isWindowsProgram(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    char magic[2] = {};
    return file.read(magic, 2) && magic[0] == 'M' && magic[1] == 'Z';
}

}  // namespace

void startProgram(const std::string& file, const std::string& parameters,
                  const std::string& workingDirectory) {
    // Paths from the launcher use '\' between folders.
    std::string program = file;
    for (char& c : program)
        if (c == '\\') c = '/';
    if (program.find('/') == std::string::npos) program = "./" + program;
    const std::string resolved =
        program[0] == '/' || workingDirectory.empty() ? program : workingDirectory + "/" + program;

    std::vector<std::string> argv;
    if (isWindowsProgram(resolved)) {
        // Without Wine the start fails silently, like a failed ShellExecute.
        if (!onPath("wine")) return;
        argv.push_back("wine");
    }
    argv.push_back(program);
    std::istringstream words(parameters);
    for (std::string word; words >> word;) argv.push_back(word);
    spawnDetached(argv, workingDirectory);
}

bool deleteFile(const std::u16string& path) {
    return unlink(wideToNarrow(path.c_str()).c_str()) == 0;
}

}  // namespace platform
