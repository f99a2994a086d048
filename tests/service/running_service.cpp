#include "tests/service/running_service.h"

#include <gtest/gtest.h>

#include <filesystem>

ServiceOptions testOptions(const TempDir& folder) {
    ServiceOptions options = defaultServiceOptions();
    options.downloadFolder = folder.path() / "download";
    options.pagesFolder = ORV_TEST_PAGES_DIR;
    options.storeFile = folder.path() / "state" / "clients.json";
    options.downloadPort = 0;
    options.webPort = 0;
    std::filesystem::create_directories(options.downloadFolder);
    return options;
}

RunningService::RunningService() : folder_(std::make_shared<TempDir>()) {
    options_ = testOptions(*folder_);
    start();
}

RunningService::RunningService(ServiceOptions options)
    : folder_(std::make_shared<TempDir>()), options_(std::move(options)) {
    start();
}

RunningService::~RunningService() { stop(); }

void RunningService::start() {
    service_ = std::make_unique<Service>(options_, [this](const std::string& line) {
        std::lock_guard lock(logLock_);
        log_.push_back(line);
    });
    const std::string problem = service_->start();
    if (!problem.empty()) throw std::runtime_error("service did not start: " + problem);
    downloadPort_ = service_->downloadPort();
    webPort_ = service_->webPort();
}

void RunningService::stop() {
    if (service_) service_->stop();
    service_.reset();
}

void RunningService::restart() {
    stop();
    start();
}

httplib::Client RunningService::download() const {
    httplib::Client client("127.0.0.1", downloadPort_);
    client.set_url_encode(false);  // the requests of the tests go out exactly as written
    return client;
}

httplib::Client RunningService::web() const {
    httplib::Client client("127.0.0.1", webPort_);
    client.set_url_encode(false);
    return client;
}

std::string RunningService::registerClient(const std::string& token) const {
    auto client = web();
    const auto answer = client.Get("/launcher_client/index.php?token=" + token);
    if (!answer || answer->status != 302) throw std::runtime_error("registration failed");
    const std::string setCookie = answer->get_header_value("Set-Cookie");
    return setCookie.substr(0, setCookie.find(';'));
}

std::vector<std::string> RunningService::logLines() const {
    std::lock_guard lock(logLock_);
    return log_;
}
