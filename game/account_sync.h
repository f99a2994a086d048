// The multiplayer account that the web service holds for this client, copied into the client
// settings and the game's registry key.
#pragma once

#include <string>

// Fetches name and signature and stores both, or neither. Every failure is a log line.
void syncAccount();

// The same against the web service at `serviceUrl` (origin, no trailing "/").
void syncAccount(const std::string& serviceUrl);
