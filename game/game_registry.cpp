#include "game/game_registry.h"

#include "core/ini_document.h"
#include "core/user_paths.h"
#include "platform/platform.h"

const std::string gameRegistryKey = "Software\\Microsoft\\Microsoft Games\\Astrovance\\1.0";

std::string gameRegistryStorePath() {
    return userFolder.get() + "GameRegistry.ini";
}

bool setGameRegistryValue(const std::string& name, const std::string& data) {
    if (const auto written = platform::writeGameRegistryValue(gameRegistryKey, name, data))
        return *written;
    return IniDocument::setValue(gameRegistryStorePath(), gameRegistryKey, name, data);
}
