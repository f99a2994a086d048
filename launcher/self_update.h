#pragma once

#include <string>

// Compares the launcher with the one the download server names. Where the setup program can
// update this launcher (Windows), offers it; on yes, downloads and starts the setup and ends the
// process. Elsewhere the player is told on the page where the newer launcher is to be had. A
// server that cannot be reached, or names no launcher, changes nothing. Returns when the
// launcher is to go on.
void checkLauncherUpdate();

// The two ways of offering the server's launcher `serverVersion`.
void offerLauncherSetup(const std::string& serverVersion);
void announceNewerLauncher(const std::string& serverVersion);
