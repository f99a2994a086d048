// orv-publish: makes the download server's updates from installation trees, and checks a
// server as the launcher reads it.
#include <algorithm>
#include <chrono>
#include <clocale>
#include <cstdio>
#include <exception>
#include <iostream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "core/text.h"
#include "integrity/signature.h"
#include "net/retry_pause.h"
#include "publish/check_report.h"
#include "publish/check_server.h"
#include "publish/progress_line.h"
#include "publish/publish_update.h"
#include "publish/server_files.h"
#include "publish/server_folder.h"
#include "publish/update_signing.h"

namespace {

const char* usage =
    "usage: orv-publish inc --from OLD --to NEW --version V [options] ROOT\n"
    "       orv-publish full --tree NEW --version V [options] ROOT\n"
    "       orv-publish check [--public-key PUB] ROOT | --url URL\n"
    "       orv-publish keygen [--unencrypted] SECRET PUBLIC\n"
    "       orv-publish sign --key SECRET ROOT\n"
    "\n"
    "OLD, NEW: installation roots, each holding the game folder Astrovance.\n"
    "ROOT: the download server's document root.\n"
    "  inc    ROOT/updates/V/: the files of NEW that are new or differ from OLD, their\n"
    "         hashes.ini, a PrePatch.ini deleting what NEW no longer has; version.ini offers it\n"
    "  full   ROOT/full/V/ORV.zip with every file of NEW, its hashes.ini and full.ini;\n"
    "         version.ini offers it\n"
    "  check  reads ROOT (or the server at URL) as the launcher does and reports what is wrong;\n"
    "         exit status 1 when it finds an error; with PUB, also every signature\n"
    "  keygen a signing key pair: SECRET protected by a password (ORV_PUBLISH_PASSWORD or\n"
    "         asked), PUBLIC for the launcher's build (ORV_UPDATE_PUBLIC_KEY)\n"
    "  sign   signs version.ini, ORV-Setup.exe and every update version.ini names\n"
    "options:\n"
    "  --launcher-version L  also set the launcher version in version.ini\n"
    "  --keep-removed        inc: no deletes for the files that NEW no longer has\n"
    "  --force               publish a version that sorts below the current one\n"
    "  --key SECRET          inc, full: sign what is published\n";

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
           option == "--launcher-version" || option == "--url" || option == "--key" ||
           option == "--public-key";
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
    if (!allowed(arguments, {"--url", "--public-key"}) ||
        arguments.positional.size() != (remote ? 0u : 1u))
        return fail("check takes ROOT or --url URL");
    std::optional<PublicKey> key;
    if (const auto keyFile = arguments.values.find("--public-key");
        keyFile != arguments.values.end()) {
        key = readPublicKey(readWholeFile(toPath(keyFile->second)).value_or(""));
        if (!key) return fail(keyFile->second + " is not a public key file");
    }
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
    if (key) checkSignatures(*server, *key, report);
    return report.errors() > 0 ? 1 : 0;
}

int runPublish(const Arguments& arguments) {
    const bool inc = arguments.command == "inc";
    const std::vector<std::string> options =
        inc ? std::vector<std::string>{"--from",         "--to",
                                       "--version",      "--launcher-version",
                                       "--keep-removed", "--force",
                                       "--key"}
            : std::vector<std::string>{"--tree", "--version", "--launcher-version", "--force",
                                       "--key"};
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
    if (const std::string keyFile = value("--key"); !keyFile.empty()) {
        request.key = loadSecretKey(keyFile, std::cerr);
        if (!request.key) return 2;
    }
    ProgressLine progress;
    if (inc) {
        if (request.from.empty() || request.to.empty()) return fail("inc needs --from and --to");
        return publishInc(request, std::cout, std::cerr, progress);
    }
    if (request.tree.empty()) return fail("full needs --tree");
    return publishFull(request, std::cout, std::cerr, progress);
}

int runKeygen(const Arguments& arguments) {
    if (!allowed(arguments, {"--unencrypted"}) || arguments.positional.size() != 2)
        return fail("keygen takes SECRET PUBLIC");
    const bool unprotected = !arguments.flags.empty();
    return makeKeyFiles(arguments.positional[0], arguments.positional[1], unprotected, std::cout,
                        std::cerr);
}

int runSign(const Arguments& arguments) {
    const auto keyFile = arguments.values.find("--key");
    if (!allowed(arguments, {"--key"}) || keyFile == arguments.values.end() ||
        arguments.positional.size() != 1)
        return fail("sign takes --key SECRET ROOT");
    const auto key = loadSecretKey(keyFile->second, std::cerr);
    if (!key) return 2;
    return signRoot(arguments.positional[0], *key, std::cout, std::cerr);
}

}  // namespace

int main(int argc, char** argv) {
    std::setlocale(LC_ALL, "C.UTF-8");
    try {
        const Arguments arguments = parse(argc, argv);
        if (arguments.command == "inc" || arguments.command == "full") return runPublish(arguments);
        if (arguments.command == "check") return runCheck(arguments);
        if (arguments.command == "keygen") return runKeygen(arguments);
        if (arguments.command == "sign") return runSign(arguments);
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
