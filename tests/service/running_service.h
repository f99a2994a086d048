#pragma once

#include <httplib.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "service/service.h"
#include "tests/support/temp_dir.h"

// A service on free loopback ports with a download folder and a store in a fresh temp folder.
class RunningService {
public:
    RunningService();
    explicit RunningService(ServiceOptions options);
    ~RunningService();

    // Stops the service and starts a new one with the same options (and the same store).
    void restart();
    void stop();

    httplib::Client download() const;
    httplib::Client web() const;

    // Registers `token` the way the launcher's first visit does; returns the cookie header.
    std::string registerClient(const std::string& token) const;

    std::vector<std::string> logLines() const;

    int webPort() const { return webPort_; }
    const ServiceOptions& options() const { return options_; }
    const TempDir& folder() const { return *folder_; }

private:
    void start();

    std::shared_ptr<TempDir> folder_;
    ServiceOptions options_;
    std::unique_ptr<Service> service_;
    int downloadPort_ = 0;
    int webPort_ = 0;
    mutable std::mutex logLock_;
    std::vector<std::string> log_;
};

// Options on free ports for a service below `folder`: download folder "download" (created),
// the source tree's pages, store "state/clients.json".
ServiceOptions testOptions(const TempDir& folder);
