#include "launcher/startup.h"

#include <algorithm>
#include <sstream>

#include "core/log.h"
#include "core/text.h"
#include "core/user_paths.h"
#include "game/client_token.h"
#include "launcher/version.h"
#include "platform/platform.h"

std::vector<std::string> splitCommandWords(const std::string& commandLine) {
    std::istringstream stream(commandLine);
    std::vector<std::string> words;
    for (std::string word; stream >> word;) words.push_back(word);
    return words;
}

bool hasHashFlag(const std::vector<std::string>& words) {
    return std::find(words.begin(), words.end(), "-h") != words.end();
}

int launcherMain(const std::string& commandLine) {
    const auto commandWords = splitCommandWords(commandLine);

    const auto documents = platform::documentsFolder();
    if (!documents) return 0;
    setUserPaths(toNarrow(*documents));

    clientToken.set(loadClientToken());
    openLog();
    logLine("Launcher started - " + LauncherVersion);

    if (hasHashFlag(commandWords)) {
        logLine("-h found - Hashing Install");
        platform::exitProcess(0);
    }

    logLine("Failed to create Window");
    return 0;
}
