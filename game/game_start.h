// Starting the game as the client settings ask.
#pragma once

#include <string>

// " -w" when in a window, then " -I" and the game server's address when connecting at once.
std::string startParameters(bool windowMode, bool autoConnect);

// Refreshes the server list when asked, brings the executable's patches into the state the
// settings ask for and starts the game in the installation root. Nothing waits for the game.
void startGame();

// The same with the server list from the web service at `serviceUrl` (origin, no trailing "/").
void startGame(const std::string& serviceUrl);
