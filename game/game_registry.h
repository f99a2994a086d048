// The game's own registry key, where it reads the multiplayer account.
#pragma once

#include <string>

// The key below the current user's root.
extern const std::string gameRegistryKey;

// Stores a string value under the game's key. On Windows the key must exist already (the game's
// setup makes it) and is never created. A system without a registry keeps the values in
// "GameRegistry.ini" in the user folder, one section named by the key. True when stored.
bool setGameRegistryValue(const std::string& name, const std::string& data);

// The file that stands in for the registry where there is none.
std::string gameRegistryStorePath();
