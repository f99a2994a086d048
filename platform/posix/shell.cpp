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

// How a program file is started: Windows programs (the "MZ" signature) through Wine, scripts
// through the interpreter their "#!" line names (files fetched by an update carry no execute
// permission), everything else directly.
std::vector<std::string> launchPrefix(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    char head[256];
    file.read(head, sizeof head);
    std::string firstLine(head, static_cast<std::size_t>(file.gcount()));
    firstLine = firstLine.substr(0, firstLine.find('\n'));
    if (firstLine.starts_with("MZ")) return {"wine"};
    if (!firstLine.starts_with("#!")) return {};
    std::istringstream interpreter(firstLine.substr(2));
    std::vector<std::string> prefix;
    for (std::string word; interpreter >> word && prefix.size() < 2;) prefix.push_back(word);
    return prefix;
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

    std::vector<std::string> argv = launchPrefix(resolved);
    // Without Wine a Windows program fails to start silently, like a failed ShellExecute.
    if (argv.size() == 1 && argv[0] == "wine" && !onPath("wine")) return;
    argv.push_back(program);
    std::istringstream words(parameters);
    for (std::string word; words >> word;) argv.push_back(word);
    spawnDetached(argv, workingDirectory);
}

bool deleteFile(const std::u16string& path) {
    return unlink(wideToNarrow(path.c_str()).c_str()) == 0;
}

}  // namespace platform
