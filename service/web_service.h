#pragma once

#include <httplib.h>

#include <filesystem>
#include <string>

#include "service/client_store.h"

struct WebServiceConfig {
    std::filesystem::path pagesFolder;
    std::string gameServerAddress;
    int gamePort = 0;
    std::filesystem::path testDriverFolder;  // empty: pages are served as they are
};

// The web service: the patcher and report pages below "/patcher/", the client page and its
// actions at "/launcher_client/index.php", the pages' shared files below "/assets/".
void addWebRoutes(httplib::Server& server, const WebServiceConfig& config, ClientStore& store);

// The name of the cookie that carries the client token from the launcher's first visit.
inline constexpr const char* clientCookieName = "orv_client";

// The value of one cookie in a "Cookie" request header, or "" when it is not there.
std::string cookieValue(const std::string& header, const std::string& name);
