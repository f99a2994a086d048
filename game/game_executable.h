// The game's executable, relative to the installation root (the current directory).
#pragma once

#include <string>

#include "core/game_folder.h"

inline const std::string gameExecutable =
    ".\\" + gameFolderName + "\\EXE\\" + gameFolderName + ".exe";
