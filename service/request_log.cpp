#include "service/request_log.h"

std::string requestLogLine(const std::string& serverName, const httplib::Request& request,
                           const httplib::Response& response) {
    std::string path = request.path;
    char separator = '?';
    for (const auto& [key, value] : request.params) {
        path += separator;
        path += key + "=" + (key == "token" ? std::string("***") : value);
        separator = '&';
    }
    // Control characters from a decoded path would break the one-line format.
    for (char& c : path) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    }
    return serverName + " " + request.method + " " + path + " " + std::to_string(response.status);
}
