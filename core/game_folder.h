// The game's folder below the installation root, as archives, manifests and the game's own
// paths name it.
#pragma once

#include <string>

inline const std::string gameFolderName = "Astrovance";
