#include "launcher/startup.h"

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <system_error>
#include <thread>

#include "core/log.h"
#include "core/text.h"
#include "core/user_paths.h"
#include "game/client_token.h"
#include "integrity/checksum.h"
#include "integrity/install_hashing.h"
#include "launcher/self_update.h"
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

std::string installationClaimName() {
    std::error_code error;
    std::string folder =
        pathText(std::filesystem::weakly_canonical(std::filesystem::current_path(error), error));
    if constexpr (platform::pathSeparator == '\\') {
        // One folder under any spelling: Windows ignores the letter case of paths.
        for (char& c : folder)
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return "ORVLauncher-" + formatChecksum(continueChecksum(0, folder.data(), folder.size()));
}

bool startLauncher(const std::string& commandLine) {
    const auto commandWords = splitCommandWords(commandLine);

    const auto documents = platform::documentsFolder();
    if (!documents) return false;
    setUserPaths(toNarrow(*documents));

    clientToken.set(loadClientToken());
    openLog();
    logLine("Launcher started - " + LauncherVersion);

    // Two launchers patching one installation would write over each other's files.
    if (!platform::claimInstance(installationClaimName(), userFolder.get())) {
        logLine("Another launcher is already running in this installation");
        platform::messageBox("The >ORV< Launcher is already running in this installation.",
                             ">ORV< Launcher", platform::MessageKind::Notice);
        return false;
    }

    checkLauncherUpdate();

    if (hasHashFlag(commandWords)) {
        logLine("-h found - Hashing Install");
        // hashInstallation ends the process itself; the join only waits for that.
        try {
            std::thread hashing(hashInstallation);
            hashing.join();
        } catch (const std::system_error&) {
            // No thread to be had: hash on this one rather than end without a manifest.
            hashInstallation();
        }
    }
    return true;
}
