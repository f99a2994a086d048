#pragma once

#include <httplib.h>

#include <memory>
#include <stdexcept>

#include "service/service.h"
#include "tests/support/temp_dir.h"

// Options on free ports below `folder`: download folder "download" (created), the source tree's
// pages, store "state/clients.json".
inline ServiceOptions testOptions(const TempDir& folder) {
    ServiceOptions options = defaultServiceOptions();
    options.downloadFolder = folder.path() / "download";
    options.pagesFolder = ORV_TEST_PAGES_DIR;
    options.storeFile = folder.path() / "state" / "clients.json";
    options.downloadPort = options.webPort = 0;
    std::filesystem::create_directories(options.downloadFolder);
    return options;
}

// A service on free loopback ports; stop() and start() keep the store.
struct RunningService {
    TempDir folder;
    ServiceOptions options = testOptions(folder);
    std::unique_ptr<Service> service;

    RunningService() { start(); }
    void start() {
        service = std::make_unique<Service>(options, nullptr);
        if (const std::string problem = service->start(); !problem.empty())
            throw std::runtime_error("service did not start: " + problem);
    }
    void stop() { service.reset(); }
    static httplib::Client client(int port) {
        httplib::Client client("127.0.0.1", port);
        client.set_url_encode(false);  // requests go out exactly as written
        return client;
    }
    httplib::Client download() const { return client(service->downloadPort()); }
    httplib::Client web() const { return client(service->webPort()); }
};
