#include "core/staged_file.h"

#include <chrono>
#include <filesystem>
#include <thread>

#include "core/text.h"
#include "platform/platform.h"

namespace fs = std::filesystem;

namespace {
constexpr auto replaceRetryPause = std::chrono::milliseconds(100);
#ifdef _WIN32
// Windows refuses to replace a file that another program holds open, until it lets go.
constexpr int replaceAttempts = 20;
#else
constexpr int replaceAttempts = 1;  // a rename here replaces open files too; a failure stays
#endif
}  // namespace

std::string stagingPath(const std::string& target) {
    return target + ".orv-partial";
}

bool replaceWithStaged(const std::string& staged, const std::string& target,
                       std::error_code& error) {
    for (int attempt = 1;; ++attempt) {
        error.clear();
        fs::rename(toPath(staged), toPath(target), error);
        if (!error) return true;
        std::error_code gone;
        if (attempt >= replaceAttempts || !fs::exists(toPath(staged), gone)) return false;
        std::this_thread::sleep_for(replaceRetryPause);
    }
}

void discardStaged(const std::string& staged) {
    std::error_code ignored;
    fs::remove(toPath(staged), ignored);
}

std::FILE* openStaged(const std::string& staged, bool append) {
    if (append) return platform::openPlainToAppend(staged);
    if (std::FILE* file = platform::createNewFile(staged)) return file;
    discardStaged(staged);
    return platform::createNewFile(staged);
}
