#include "game/game_registry.h"

#include <filesystem>
#include <mutex>

#include "core/ini_document.h"
#include "core/log.h"
#include "core/text.h"
#include "core/user_paths.h"
#include "game/game_executable.h"
#include "platform/platform.h"

const std::string gameRegistryKey =
    "Software\\Microsoft\\Microsoft Games\\" + gameFolderName + "\\1.0";

std::string gameRegistryStorePath() {
    return userFolder.get() + "GameRegistry.ini";
}

bool setGameRegistryValue(const std::string& name, const std::string& data) {
    using platform::RegistryWrite;
    switch (platform::writeGameRegistryValue(gameExecutable, gameRegistryKey, name, data)) {
        case RegistryWrite::Stored:
            return true;
        case RegistryWrite::NoKey:
            return false;
        case RegistryWrite::Failed:
            logLine("Failed to write the game's registry value " + name);
            return false;
        case RegistryWrite::NoRegistry:
            break;
    }
    return IniDocument::setValue(gameRegistryStorePath(), gameRegistryKey, name, data);
}

void noteGameDocumentsFolder() {
    const auto documents = platform::programDocumentsFolder(gameExecutable);
    if (!documents) return;
    const auto folder = toPath(*documents) / "My Games" / "ORV";
    std::error_code error;
    if (std::filesystem::equivalent(folder, toPath(userFolder.get()), error)) return;

    static std::mutex lock;
    static std::string noted;
    const std::string text = pathText(folder);
    {
        const std::lock_guard guard(lock);
        if (noted == text) return;
        noted = text;
    }
    logLine("The game reads its settings from " + text + ", not from " + userFolder.get());
}
