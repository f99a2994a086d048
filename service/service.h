#pragma once

#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "service/client_store.h"
#include "service/service_options.h"

namespace httplib {
class Server;
}

// The local ORV service: the download server and the web service, each on its own port, each
// answering on a pool of threads of its own.
class Service {
public:
    using LogSink = std::function<void(const std::string&)>;

    // `log` receives one line per answered request, from the servers' threads.
    Service(ServiceOptions options, LogSink log);
    ~Service();
    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;

    // Checks the folders, opens the store and starts listening. Returns why it could not start,
    // or "" once both servers accept connections.
    std::string start();
    // Stops both servers and waits for their threads. Safe to call more than once.
    void stop();

    // The ports actually bound (useful when the options asked for any free port).
    int downloadPort() const { return downloadPort_; }
    int webPort() const { return webPort_; }

private:
    ServiceOptions options_;
    LogSink log_;
    ClientStore store_;
    std::unique_ptr<httplib::Server> download_;
    std::unique_ptr<httplib::Server> web_;
    std::thread downloadThread_;
    std::thread webThread_;
    int downloadPort_ = 0;
    int webPort_ = 0;
};
