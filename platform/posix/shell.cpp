#include <unistd.h>

#include <sstream>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/launch.h"
#include "platform/posix/spawn.h"

namespace platform {

void shellOpen(const std::u16string& target) {
    spawnDetached({"xdg-open", wideToNarrow(target.c_str())}, "");
}

void startProgram(const std::string& file, const std::string& parameters,
                  const std::string& workingDirectory) {
    const std::string program = programPath(file);
    const std::string resolved =
        program[0] == '/' || workingDirectory.empty() ? program : workingDirectory + "/" + program;

    std::vector<std::string> argv = launchPrefix(resolved);
    // Without Wine a Windows program fails to start silently, like a failed ShellExecute.
    if (argv == std::vector<std::string>{"wine"} && !onPath("wine")) return;
    argv.push_back(program);
    std::istringstream words(parameters);
    for (std::string word; words >> word;) argv.push_back(word);
    spawnDetached(argv, workingDirectory);
}

bool deleteFile(const std::u16string& path) {
    return unlink(wideToNarrow(path.c_str()).c_str()) == 0;
}

}  // namespace platform
