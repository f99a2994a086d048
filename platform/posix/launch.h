// How startProgram runs a program file, so that other calls can reach what the program sees.
#pragma once

#include <string>
#include <vector>

namespace platform {

// The launcher's path of a program ('\' between folders) as a path here: a bare name is taken
// from the folder, not looked up on PATH.
std::string programPath(const std::string& file);

// What comes before the program on its command line: Windows programs (the "MZ" signature) run
// through Wine, scripts through the interpreter their "#!" line names (files fetched by an update
// carry no execute permission), everything else directly.
std::vector<std::string> launchPrefix(const std::string& path);

// True when startProgram would start `file` (relative to the current folder) through Wine.
bool startsThroughWine(const std::string& file);

// The Wine prefix that `wine` uses with this environment: WINEPREFIX, else ~/.wine. Empty when
// neither is known.
std::string winePrefixFolder();

}  // namespace platform
