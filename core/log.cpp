#include "core/log.h"

#include <filesystem>
#include <fstream>
#include <mutex>

#include "core/format.h"
#include "core/text.h"
#include "core/user_paths.h"
#include "platform/platform.h"

SharedText logPath;

namespace {
std::mutex logLock;
}

void openLog() {
    const std::string folder = userFolder.get() + "Logs";
    std::error_code error;
    std::filesystem::create_directories(toPath(folder), error);
    logPath.set(folder + platform::pathSeparator + "Log_" +
                formatLocalTime(currentSeconds(), "%Y-%m-%d_%H-%M-%S") + ".log");
}

void logLine(const std::string& text) {
    logLines({text});
}

void logLines(const std::vector<std::string>& texts) {
    const std::lock_guard lock(logLock);
    const std::string path = logPath.get();
    if (path.empty() || texts.empty()) return;
    // Opened and closed per call: every finished line is on disk even if the process dies.
    std::ofstream file(path, std::ios::app);
    if (!file) return;
    const std::string stamp = formatLocalTime(currentSeconds(), "%Y-%m-%d %H:%M:%S") + " - ";
    std::string lines;
    for (const std::string& text : texts) lines += stamp + text + "\n";
    file.write(lines.data(), static_cast<std::streamsize>(lines.size()));
}
