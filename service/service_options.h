#pragma once

#include <filesystem>
#include <string>
#include <vector>

struct ServiceOptions {
    std::filesystem::path downloadFolder;
    std::filesystem::path pagesFolder;
    std::filesystem::path storeFile;
    std::string bindAddress;
    int downloadPort = 0;  // 0: any free port
    int webPort = 0;
    std::string gameServerAddress;
    int gamePort = 0;
    // End-to-end tests only: a folder through which a test drives the pages (see test_driver.h).
    std::filesystem::path testDriverFolder;
    std::size_t rateLimitKiB = 0;  // download speed limit in KiB/s, 0: none
};

// The defaults: loopback, ports 47810 and 47811, the pages of the source tree, "download" in the
// current folder, the store in the user's state folder.
ServiceOptions defaultServiceOptions();

struct ParsedOptions {
    ServiceOptions options;
    bool showHelp = false;
    std::string error;  // empty when the command line was fine
};

// Reads the command line (without the program name).
ParsedOptions parseServiceOptions(const std::vector<std::string>& arguments);

std::string serviceUsage();
