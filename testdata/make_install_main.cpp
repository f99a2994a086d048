// orv-make-install: makes a stand-in installation and its download-server folder.
#include <cstdio>
#include <exception>
#include <string>

#include "core/ini_document.h"
#include "testdata/game_trees.h"
#include "testdata/make_install.h"

namespace {

const char* usage =
    "usage: orv-make-install --install DIR --server DIR [--seed N] [--files N] [--size-mb N]\n"
    "                        [--launcher-version V] [--scenario behind-one-inc|fresh-full]\n"
    "                        [--no-scripts] [--no-blanks] [--mz-exe] [--client-settings FILE]\n"
    "       orv-make-install --trees DIR [--seed N] [--files N] [--size-mb N] [--mz-exe]\n"
    "  --files N            game files besides the executable (default 24)\n"
    "  --size-mb N          their size together in MiB (default 4)\n"
    "  --no-blanks          '_' instead of the blanks in file and folder names\n"
    "  --mz-exe             a Windows-style executable instead of the runnable shell stand-in\n"
    "  --client-settings F  also write the installed version into this ClientSettings.ini\n"
    "  --trees DIR          only two installation roots to publish from: DIR/1.0 and DIR/1.1\n";

int fail(const std::string& message) {
    std::fprintf(stderr, "orv-make-install: %s\n%s", message.c_str(), usage);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    testdata::InstallOptions options;
    std::string clientSettings;
    std::filesystem::path trees;
    try {
        for (int i = 1; i < argc; ++i) {
            const std::string option = argv[i];
            auto value = [&]() -> std::string {
                if (i + 1 >= argc) throw std::invalid_argument(option + " needs a value");
                return argv[++i];
            };
            if (option == "--install")
                options.installDir = value();
            else if (option == "--server")
                options.serverDir = value();
            else if (option == "--seed")
                options.seed = std::stoull(value());
            else if (option == "--files")
                options.files = std::stoi(value());
            else if (option == "--size-mb")
                options.sizeMb = std::stod(value());
            else if (option == "--launcher-version")
                options.launcherVersion = value();
            else if (option == "--no-scripts")
                options.scripts = false;
            else if (option == "--mz-exe")
                options.runnableExe = false;
            else if (option == "--no-blanks")
                options.blanksInNames = false;
            else if (option == "--client-settings")
                clientSettings = value();
            else if (option == "--trees")
                trees = value();
            else if (option == "--scenario") {
                const std::string scenario = value();
                if (scenario == "behind-one-inc")
                    options.scenario = testdata::Scenario::BehindOneInc;
                else if (scenario == "fresh-full")
                    options.scenario = testdata::Scenario::FreshFull;
                else
                    return fail("unknown scenario " + scenario);
            } else if (option == "--help" || option == "-h") {
                std::fputs(usage, stdout);
                return 0;
            } else {
                return fail("unknown option " + option);
            }
        }
        if (trees.empty() && (options.installDir.empty() || options.serverDir.empty()))
            return fail("--install and --server are required");
        if (options.files < 3 || options.sizeMb < 0) return fail("--files must be 3 or more");
    } catch (const std::exception& error) {
        return fail(error.what());
    }

    try {
        if (!trees.empty()) {
            const auto made =
                testdata::makeGameTrees({trees / "1.0", trees / "1.1", options.seed, options.files,
                                         options.sizeMb, options.runnableExe});
            std::printf("%s/1.0: %zu files; %s/1.1: %zu files (%zu changed, %zu new, %zu gone)\n",
                        trees.string().c_str(), made.oldFiles.size(), trees.string().c_str(),
                        made.newFiles.size(), made.changed.size(), made.added.size(),
                        made.removed.size());
            return 0;
        }
        const auto made = testdata::makeInstall(options);
        if (!clientSettings.empty() && !made.installedVersion.empty() &&
            !IniDocument::setValue(clientSettings, "CLIENT", "Version", made.installedVersion))
            throw std::runtime_error("cannot write " + clientSettings);
        std::fputs(testdata::describe(made, options).c_str(), stdout);
        if (!clientSettings.empty()) std::printf("client settings: %s\n", clientSettings.c_str());
    } catch (const std::exception& error) {
        std::fprintf(stderr, "orv-make-install: %s\n", error.what());
        return 1;
    }
    return 0;
}
