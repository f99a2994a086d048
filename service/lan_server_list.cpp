#include "service/lan_server_list.h"

std::string lanServerList(const std::string& gameServerAddress, int gamePort) {
    // CR LF: the file ends up on a Windows installation as it is.
    return "[Server0]\r\n"
           "Name=ORV Server\r\n"
           "Address=" +
           gameServerAddress +
           "\r\n"
           "Port=" +
           std::to_string(gamePort) + "\r\n";
}
