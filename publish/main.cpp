// orv-publish: makes the download server's updates from installation trees, and checks a
// server as the launcher reads it.
#include <algorithm>
#include <chrono>
#include <clocale>
#include <cstdio>
#include <exception>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "net/retry_pause.h"
#include "publish/check_report.h"
#include "publish/check_server.h"
#include "publish/progress_line.h"
#include "publish/publish_update.h"
#include "publish/server_files.h"

namespace {

const char* usage =
    "usage: orv-publish inc --from OLD --to NEW --version V [options] ROOT\n"
    "       orv-publish full --tree NEW --version V [options] ROOT\n"
    "       orv-publish check ROOT | --url URL\n"
    "\n"
    "OLD, NEW: installation roots, each holding the game folder Astrovance.\n"
    "ROOT: the download server's document root.\n"
    "  inc    ROOT/updates/V/: the files of NEW that are new or differ from OLD, their\n"
    "         hashes.ini, a PrePatch.ini deleting what NEW no longer has; version.ini offers it\n"
    "  full   ROOT/full/V/ORV.zip with every file of NEW, its hashes.ini and full.ini;\n"
    "         version.ini offers it\n"
    "  check  reads ROOT (or the server at URL) as the launcher does and reports what is wrong;\n"
    "         exit status 1 when it finds an error\n"
    "options:\n"
    "  --launcher-version L  also set the launcher version in version.ini\n"
    "  --keep-removed        inc: no deletes for the files that NEW no longer has\n"
    "  --force               publish a version that sorts below the current one\n";

int fail(const std::string& message) {
    std::cerr << "orv-publish: " << message << "\n" << usage;
    return 2;
}

struct Arguments {
    std::string command;
    std::map<std::string, std::string> values;
    std::vector<std::string> flags, positional;
};

// Options that take a value, and flags, per command.
bool takesValue(const std::string& option) {
    return option == "--from" || option == "--to" || option == "--tree" || option == "--version" ||
           option == "--launcher-version" || option == "--url";
}

Arguments parse(int argc, char** argv) {
    Arguments arguments;
    arguments.command = argc > 1 ? argv[1] : "";
    for (int i = 2; i < argc; ++i) {
        const std::string word = argv[i];
        if (takesValue(word)) {
            if (i + 1 >= argc) throw std::invalid_argument(word + " needs a value");
            arguments.values[word] = argv[++i];
        } else if (word.starts_with("--")) {
            arguments.flags.push_back(word);
        } else {
            arguments.positional.push_back(word);
        }
    }
    return arguments;
}

bool allowed(const Arguments& arguments, const std::vector<std::string>& options) {
    for (const auto& [option, value] : arguments.values)
        if (std::find(options.begin(), options.end(), option) == options.end()) return false;
    for (const std::string& flag : arguments.flags)
        if (std::find(options.begin(), options.end(), flag) == options.end()) return false;
    return true;
}

int runCheck(const Arguments& arguments) {
    const auto url = arguments.values.find("--url");
    const bool remote = url != arguments.values.end();
    if (!allowed(arguments, {"--url"}) || arguments.positional.size() != (remote ? 0u : 1u))
        return fail("check takes ROOT or --url URL");
    std::string origin = remote ? url->second : "";
    while (origin.ends_with('/')) origin.pop_back();
    // The launcher's pauses between attempts outlast an outage; a missing file should cost the
    // check seconds, not a minute.
    if (remote) setRetryPauseUnit(std::chrono::milliseconds(50));
    const auto server = remote ? remoteServer(origin) : localServer(arguments.positional[0]);
    CheckReport report(std::cout);
    ProgressLine progress;
    report.line("orv-publish check: " + server->where(""));
    checkServer(*server, report, progress);
    return report.errors() > 0 ? 1 : 0;
}

int runPublish(const Arguments& arguments) {
    const bool inc = arguments.command == "inc";
    const std::vector<std::string> options =
        inc ? std::vector<std::string>{"--from",         "--to",
                                       "--version",      "--launcher-version",
                                       "--keep-removed", "--force"}
            : std::vector<std::string>{"--tree", "--version", "--launcher-version", "--force"};
    if (!allowed(arguments, options)) return fail("unknown option for " + arguments.command);
    if (arguments.positional.size() != 1) return fail("give one ROOT");
    auto value = [&](const std::string& option) {
        const auto found = arguments.values.find(option);
        return found == arguments.values.end() ? std::string() : found->second;
    };
    auto flag = [&](const std::string& option) {
        return std::find(arguments.flags.begin(), arguments.flags.end(), option) !=
               arguments.flags.end();
    };
    PublishRequest request{arguments.positional[0], value("--version"), value("--launcher-version"),
                           flag("--force"),         value("--from"),    value("--to"),
                           flag("--keep-removed"),  value("--tree")};
    if (request.version.empty()) return fail("--version is required");
    ProgressLine progress;
    if (inc) {
        if (request.from.empty() || request.to.empty()) return fail("inc needs --from and --to");
        return publishInc(request, std::cout, std::cerr, progress);
    }
    if (request.tree.empty()) return fail("full needs --tree");
    return publishFull(request, std::cout, std::cerr, progress);
}

}  // namespace

int main(int argc, char** argv) {
    std::setlocale(LC_ALL, "C.UTF-8");
    try {
        const Arguments arguments = parse(argc, argv);
        if (arguments.command == "inc" || arguments.command == "full") return runPublish(arguments);
        if (arguments.command == "check") return runCheck(arguments);
        if (arguments.command == "--help" || arguments.command == "-h") {
            std::cout << usage;
            return 0;
        }
        return fail(arguments.command.empty() ? "no command"
                                              : "unknown command " + arguments.command);
    } catch (const std::invalid_argument& error) {
        return fail(error.what());
    } catch (const std::exception& error) {
        std::cerr << "orv-publish: " << error.what() << "\n";
        return 2;
    }
}
