#include "service/service.h"

#include <httplib.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "service/download_server.h"
#include "service/request_log.h"
#include "service/web_service.h"

namespace fs = std::filesystem;

namespace {

// SO_REUSEADDR only: httplib's own default adds SO_REUSEPORT, which would let a second service
// share a port that is already taken instead of reporting it.
void reuseAddressOnly(socket_t socket) {
    int yes = 1;
    ::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
}

void configure(httplib::Server& server, const std::string& name, const Service::LogSink& log) {
    server.set_socket_options(reuseAddressOnly);
    server.set_logger(
        [name, log](const httplib::Request& request, const httplib::Response& response) {
            if (log) log(requestLogLine(name, request, response));
        });
    // Error answers without a body of their own get a short text.
    const httplib::Server::HandlerWithResponse errorBody = [](const httplib::Request&,
                                                              httplib::Response& response) {
        if (!response.body.empty() || response.has_header("Content-Length")) {
            return httplib::Server::HandlerResponse::Unhandled;
        }
        response.set_content(response.status == 404 ? "Not Found\n" : "Error\n",
                             "text/plain; charset=utf-8");
        return httplib::Server::HandlerResponse::Handled;
    };
    server.set_error_handler(errorBody);
    server.set_exception_handler(
        [](const httplib::Request&, httplib::Response& response, std::exception_ptr) {
            response.status = 500;
            response.set_content("Internal Server Error\n", "text/plain; charset=utf-8");
        });
}

// Binds `server`; port 0 takes any free port. Returns the port, or -1 with `error` set.
int bindServer(httplib::Server& server, const std::string& address, int port,
               const std::string& what, std::string& error) {
    errno = 0;
    const int bound = port == 0 ? server.bind_to_any_port(address)
                                : (server.bind_to_port(address, port) ? port : -1);
    if (bound > 0) return bound;
    const int cause = errno;
    error = "the " + what + " cannot listen on " + address + ":" + std::to_string(port);
    if (cause == EADDRINUSE) {
        error += ": the port is already in use";
    } else if (cause != 0) {
        error += std::string(": ") + std::strerror(cause);
    }
    return -1;
}

// Accepts and answers on a thread of its own; returns once the server runs, so that a stop()
// right after cannot miss it (a bound server that never ran would keep its socket).
std::thread run(httplib::Server& server) {
    auto ended = std::make_shared<std::atomic<bool>>(false);
    std::thread thread([&server, ended] {
        server.listen_after_bind();
        *ended = true;
    });
    while (!server.is_running() && !*ended)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return thread;
}

}  // namespace

Service::Service(ServiceOptions options, LogSink log)
    : options_(std::move(options)), log_(std::move(log)) {}

Service::~Service() {
    stop();
}

std::string Service::start() {
    std::error_code error;
    if (!fs::is_directory(options_.downloadFolder, error)) {
        return "the download folder " + options_.downloadFolder.string() + " does not exist";
    }
    if (!fs::is_directory(options_.pagesFolder, error)) {
        return "the pages folder " + options_.pagesFolder.string() + " does not exist";
    }
    try {
        if (std::string problem = store_.open(options_.storeFile); !problem.empty()) return problem;
    } catch (const std::exception& failure) {
        return std::string("cannot open the client store: ") + failure.what();
    }

    download_ = std::make_unique<httplib::Server>();
    web_ = std::make_unique<httplib::Server>();
    configure(*download_, "download", log_);
    configure(*web_, "web", log_);
    addDownloadRoutes(*download_, options_.downloadFolder);
    addWebRoutes(*web_,
                 {options_.pagesFolder, options_.gameServerAddress, options_.gamePort,
                  options_.testDriverFolder},
                 store_);

    std::string problem;
    downloadPort_ = bindServer(*download_, options_.bindAddress, options_.downloadPort,
                               "download server", problem);
    if (downloadPort_ < 0) {
        stop();
        return problem;
    }
    downloadThread_ = run(*download_);
    webPort_ = bindServer(*web_, options_.bindAddress, options_.webPort, "web service", problem);
    if (webPort_ < 0) {
        stop();
        return problem;
    }
    webThread_ = run(*web_);
    return {};
}

void Service::stop() {
    for (auto* server : {download_.get(), web_.get()}) {
        if (server) server->stop();
    }
    for (auto* thread : {&downloadThread_, &webThread_}) {
        if (thread->joinable()) thread->join();
    }
    download_.reset();
    web_.reset();
}
