#include "net/endpoints.h"

const std::string downloadServerUrl = ORV_DOWNLOAD_SERVER_URL;
const std::string webServiceUrl = ORV_WEB_SERVICE_URL;
const std::string gameServerAddress = ORV_GAME_SERVER_ADDRESS;
