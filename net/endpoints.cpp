#include "net/endpoints.h"

namespace {
std::string downloadServer = ORV_DOWNLOAD_SERVER_URL;
std::string webService = ORV_WEB_SERVICE_URL;
std::string gameServer = ORV_GAME_SERVER_ADDRESS;
}  // namespace

const std::string& downloadServerUrl = downloadServer;
const std::string& webServiceUrl = webService;
const std::string& gameServerAddress = gameServer;

void overrideEndpoints(const std::string& downloadServerOrigin,
                       const std::string& webServiceOrigin) {
    downloadServer = downloadServerOrigin;
    webService = webServiceOrigin;
}
