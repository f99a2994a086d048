#pragma once

#include <httplib.h>

#include <string>

// One line for the request log: the server's name, the method, the path with its query (the
// client token's value masked, since it identifies a player) and the status.
std::string requestLogLine(const std::string& serverName, const httplib::Request& request,
                           const httplib::Response& response);
