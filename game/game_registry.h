// The game's own registry key, where it reads the multiplayer account.
#pragma once

#include <string>

// The key below the current user's root.
extern const std::string gameRegistryKey;

// Stores a string value under the game's key, in the registry the game reads: the system's on
// Windows, the Wine prefix's where the game runs under Wine. There the key must exist already (the
// game's setup makes it) and is never created. Elsewhere the values go to "GameRegistry.ini" in
// the user folder, one section named by the key. True when stored.
bool setGameRegistryValue(const std::string& name, const std::string& data);

// The file that stands in for the registry where there is none.
std::string gameRegistryStorePath();

// Logs, once per folder, where the game reads its settings when that is not the user folder (a
// Wine prefix whose documents folder is its own).
void noteGameDocumentsFolder();
