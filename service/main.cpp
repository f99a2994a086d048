// orv-service: the local ORV download server and web service.
#include <pthread.h>
#include <signal.h>

#include <ctime>
#include <iostream>
#include <mutex>

#include "service/file_response.h"
#include "service/service.h"

namespace {

void printLine(const std::string& line) {
    static std::mutex lock;
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char stamp[32];
    std::strftime(stamp, sizeof(stamp), "%Y-%m-%d %H:%M:%S", &local);
    std::lock_guard guard(lock);
    std::cout << stamp << " " << line << std::endl;
}

}  // namespace

int main(int argc, char** argv) {
    const ParsedOptions parsed = parseServiceOptions({argv + 1, argv + argc});
    if (parsed.showHelp) {
        std::cout << serviceUsage();
        return 0;
    }
    if (!parsed.error.empty()) {
        std::cerr << "orv-service: " << parsed.error << "\n(see orv-service --help)\n";
        return 2;
    }

    // Block the stop signals before any thread exists, so that every server thread inherits the
    // mask and only the wait below receives them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    // A client that hangs up mid-answer must not end the service.
    signal(SIGPIPE, SIG_IGN);

    downloadBytesPerSecond = parsed.options.rateLimitKiB * 1024;
    Service service(parsed.options, printLine);
    if (const std::string problem = service.start(); !problem.empty()) {
        std::cerr << "orv-service: " << problem << "\n";
        return 1;
    }
    const std::string& address = parsed.options.bindAddress;
    printLine("download server on http://" + address + ":" +
              std::to_string(service.downloadPort()) + " from " +
              parsed.options.downloadFolder.string());
    printLine("web service on http://" + address + ":" + std::to_string(service.webPort()) +
              " with the pages of " + parsed.options.pagesFolder.string());
    printLine("client store " + parsed.options.storeFile.string());

    int received = 0;
    sigwait(&stopSignals, &received);
    printLine(std::string("stopping on ") + (received == SIGINT ? "SIGINT" : "SIGTERM"));
    service.stop();
    return 0;
}
