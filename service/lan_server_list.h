#pragma once

#include <string>

// The server list the launcher stores as FavServer.ini: one section per server with Name,
// Address and Port, the default game server first.
std::string lanServerList(const std::string& gameServerAddress, int gamePort);
