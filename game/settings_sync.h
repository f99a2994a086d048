// The game settings that the web service holds for this client, copied into the client settings.
#pragma once

#include <string>

// Fetches the settings from the web service and writes all five into section "Config" of the
// client settings file, or none of them. Every failure is a log line.
void syncGameSettings();

// The same against the web service at `serviceUrl` (origin, no trailing "/").
void syncGameSettings(const std::string& serviceUrl);
