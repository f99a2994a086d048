// The two servers of the modification and the default game server, fixed when the launcher is
// built (see the README's deployment values).
#pragma once

#include <string>

extern const std::string& downloadServerUrl;  // origin, no trailing "/"
extern const std::string& webServiceUrl;      // origin, no trailing "/"
extern const std::string& gameServerAddress;  // IPv4, no port

// Points the launcher at other servers. Only the test suites call this, before any transfer;
// the launcher itself never changes its endpoints.
void overrideEndpoints(const std::string& downloadServer, const std::string& webService);
