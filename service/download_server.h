#pragma once

#include <httplib.h>

#include <filesystem>

// The download server: every GET is a file below `folder` (version.ini, ORV-Setup.exe, the update
// folders with their manifests, files, archives and scripts).
void addDownloadRoutes(httplib::Server& server, const std::filesystem::path& folder);
