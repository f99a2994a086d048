// The launcher's start-up sequence, shared by the Windows and the Linux entry points.
#pragma once

#include <string>
#include <vector>

// The command line split at white space, in order.
std::vector<std::string> splitCommandWords(const std::string& commandLine);

// True when one of the words is exactly "-h" (install-hashing mode).
bool hasHashFlag(const std::vector<std::string>& words);

// Runs the launcher with the command line (program name excluded); the process's exit status.
int launcherMain(const std::string& commandLine);
