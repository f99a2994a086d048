#include <langinfo.h>
#include <locale.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string_view>

#include "platform/platform.h"
#include "platform/posix/launch.h"
#include "platform/posix/spawn.h"

extern char** environ;

namespace platform {
namespace {

// The first start of a prefix after an update of Wine rebuilds it, which takes a while; a `reg`
// that runs longer than this has hung.
constexpr std::chrono::seconds regTimeout{60};

bool utf8Locale() {
    const locale_t locale = newlocale(LC_CTYPE_MASK, "", nullptr);
    if (locale == nullptr) return false;
    const bool utf8 = std::string_view(nl_langinfo_l(CODESET, locale)) == "UTF-8";
    freelocale(locale);
    return utf8;
}

// The game's environment. Wine reads its command line in the locale's character set, so text
// beyond ASCII keeps its characters only under UTF-8: under another locale, `reg` gets UTF-8 for
// its characters and the locale's choice for everything else.
std::vector<std::string> regEnvironment(const std::string& data) {
    const bool ascii = std::all_of(data.begin(), data.end(),
                                   [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    const bool retype = !ascii && !utf8Locale();
    const char* all = std::getenv("LC_ALL");
    const bool allSet = all && *all;
    std::vector<std::string> environment;
    for (char** entry = environ; *entry; ++entry) {
        const std::string_view variable(*entry);
        const bool replaced =
            variable.starts_with("LC_CTYPE=") ||
            (allSet && (variable.starts_with("LC_") || variable.starts_with("LANG=")));
        if (!retype || !replaced) environment.emplace_back(variable);
    }
    if (retype) {
        if (allSet) environment.push_back(std::string("LANG=") + all);
        environment.push_back("LC_CTYPE=C.UTF-8");
    }
    return environment;
}

std::optional<int> reg(std::vector<std::string> arguments,
                       const std::vector<std::string>& environment) {
    arguments.insert(arguments.begin(), {"wine", "reg"});
    return runProgram(arguments, environment, regTimeout);
}

}  // namespace

RegistryWrite writeGameRegistryValue(const std::string& program, const std::string& keyPath,
                                     const std::string& name, const std::string& data) {
    if (!startsThroughWine(program)) return RegistryWrite::NoRegistry;
    // A prefix that does not exist holds no key; starting Wine would only make a prefix.
    const std::string prefix = winePrefixFolder();
    std::error_code error;
    if (!prefix.empty() && !std::filesystem::is_directory(prefix, error))
        return RegistryWrite::NoKey;

    const std::string key = "HKCU\\" + keyPath;
    const auto environment = regEnvironment(data);
    // reg ends with status 1 when the key is missing; `add` would make it.
    const auto queried = reg({"query", key}, environment);
    if (!queried) return RegistryWrite::Failed;
    if (*queried != 0) return RegistryWrite::NoKey;
    const auto added = reg({"add", key, "/v", name, "/t", "REG_SZ", "/d", data, "/f"}, environment);
    return added == 0 ? RegistryWrite::Stored : RegistryWrite::Failed;
}

}  // namespace platform
