#include "service/download_server.h"

#include "service/file_response.h"

void addDownloadRoutes(httplib::Server& server, const std::filesystem::path& folder) {
    server.Get(".*", [folder](const httplib::Request& request, httplib::Response& response) {
        serveFromFolder(response, folder, request.path);
    });
}
