// The launcher's start-up sequence, shared by the Windows and the Linux entry points.
#pragma once

#include <string>
#include <vector>

// The command line split at white space, in order.
std::vector<std::string> splitCommandWords(const std::string& commandLine);

// True when one of the words is exactly "-h" (install-hashing mode).
bool hasHashFlag(const std::vector<std::string>& words);

// The name under which a launcher claims the installation in the working folder, the same for
// every spelling of that folder.
std::string installationClaimName();

// The start-up before the window, with the command line (program name excluded): user paths,
// client token, log, self-update check and the install-hashing mode (which ends the process).
// False when the launcher is to end at once with status 0: no documents folder, or another
// launcher already runs in this installation (the player is told).
bool startLauncher(const std::string& commandLine);
