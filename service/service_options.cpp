#include "service/service_options.h"

#include <charconv>
#include <cstdlib>

namespace fs = std::filesystem;

namespace {

fs::path defaultStoreFile() {
    if (const char* state = std::getenv("XDG_STATE_HOME"); state && *state) {
        return fs::path(state) / "orv-service" / "clients.json";
    }
    if (const char* home = std::getenv("HOME"); home && *home) {
        return fs::path(home) / ".local" / "state" / "orv-service" / "clients.json";
    }
    return "orv-service-clients.json";
}

bool readPort(const std::string& text, int& port) {
    int value = -1;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value < 0 || value > 65535) {
        return false;
    }
    port = value;
    return true;
}

}  // namespace

ServiceOptions defaultServiceOptions() {
    ServiceOptions options;
    options.downloadFolder = "download";
    options.pagesFolder = ORV_SERVICE_PAGES_DIR;
    options.storeFile = defaultStoreFile();
    options.bindAddress = "127.0.0.1";
    options.downloadPort = 47810;
    options.webPort = 47811;
    options.gameServerAddress = ORV_GAME_SERVER_ADDRESS;
    options.gamePort = 2300;
    return options;
}

ParsedOptions parseServiceOptions(const std::vector<std::string>& arguments) {
    ParsedOptions parsed;
    parsed.options = defaultServiceOptions();
    ServiceOptions& options = parsed.options;

    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& name = arguments[i];
        if (name == "-h" || name == "--help") {
            parsed.showHelp = true;
            continue;
        }
        // Every other option takes a value, as "--name value" or "--name=value".
        std::string key = name;
        std::string value;
        bool hasValue = false;
        if (const auto equals = name.find('=');
            name.rfind("--", 0) == 0 && equals != std::string::npos) {
            key = name.substr(0, equals);
            value = name.substr(equals + 1);
            hasValue = true;
        } else if (i + 1 < arguments.size() && arguments[i + 1].rfind("--", 0) != 0) {
            value = arguments[i + 1];
            hasValue = true;
        }
        const auto takeValue = [&] {
            if (key == name) ++i;  // the value was the next argument
        };

        if (key == "--download-dir" || key == "--pages-dir" || key == "--store" ||
            key == "--bind" || key == "--game-server" || key == "--test-driver") {
            if (!hasValue || value.empty()) {
                parsed.error = key + " needs a value";
                return parsed;
            }
            takeValue();
            if (key == "--download-dir") options.downloadFolder = value;
            if (key == "--pages-dir") options.pagesFolder = value;
            if (key == "--store") options.storeFile = value;
            if (key == "--bind") options.bindAddress = value;
            if (key == "--game-server") options.gameServerAddress = value;
            if (key == "--test-driver") options.testDriverFolder = value;
        } else if (key == "--rate-limit") {
            int kib = 0;
            if (!hasValue || !readPort(value, kib) || kib <= 0) {
                parsed.error = key + " needs a speed in KiB/s from 1 to 65535";
                return parsed;
            }
            takeValue();
            options.rateLimitKiB = static_cast<std::size_t>(kib);
        } else if (key == "--download-port" || key == "--web-port" || key == "--game-port") {
            int port = 0;
            if (!hasValue || !readPort(value, port)) {
                parsed.error = key + " needs a port number from 0 to 65535";
                return parsed;
            }
            takeValue();
            if (key == "--download-port") options.downloadPort = port;
            if (key == "--web-port") options.webPort = port;
            if (key == "--game-port") options.gamePort = port;
        } else {
            parsed.error = "unknown option " + name;
            return parsed;
        }
    }
    if (options.downloadPort != 0 && options.downloadPort == options.webPort) {
        parsed.error = "the download server and the web service need different ports";
    }
    return parsed;
}

std::string serviceUsage() {
    const ServiceOptions defaults = defaultServiceOptions();
    return "Usage: orv-service [options]\n"
           "\n"
           "Runs the ORV download server and the ORV web service with the launcher's pages.\n"
           "\n"
           "  --download-dir DIR    files of the download server (default: " +
           defaults.downloadFolder.string() +
           ")\n"
           "  --pages-dir DIR       the launcher's pages (default: " +
           defaults.pagesFolder.string() +
           ")\n"
           "  --store FILE          per-client settings and accounts (default: " +
           defaults.storeFile.string() +
           ")\n"
           "  --bind ADDRESS        address to listen on (default: " +
           defaults.bindAddress +
           ")\n"
           "  --download-port PORT  download server port (default: " +
           std::to_string(defaults.downloadPort) +
           ", 0: any free port)\n"
           "  --web-port PORT       web service port (default: " +
           std::to_string(defaults.webPort) +
           ", 0: any free port)\n"
           "  --game-server ADDRESS game server in the server list (default: " +
           defaults.gameServerAddress +
           ")\n"
           "  --game-port PORT      its port (default: " +
           std::to_string(defaults.gamePort) +
           ")\n"
           "  --rate-limit KIB      send downloads at most this many KiB per second\n"
           "  --test-driver DIR     let an end-to-end test drive the pages through DIR\n"
           "  -h, --help            show this text\n";
}
