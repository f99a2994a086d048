#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace platform {

// Starts argv[0] (looked up on PATH) in `workingDirectory` (empty: the current one) as a
// grandchild, so it outlives the launcher and never becomes its zombie. Failures are silent.
void spawnDetached(const std::vector<std::string>& argv, const std::string& workingDirectory);

// Runs argv[0] (looked up on PATH) with `environment` ("NAME=value" entries) and without its
// output, and waits for it. Its exit status; nothing when it could not be started, died of a
// signal, or was still running after `timeout` (it is killed then).
std::optional<int> runProgram(const std::vector<std::string>& argv,
                              const std::vector<std::string>& environment,
                              std::chrono::milliseconds timeout);

// True when `name` is an executable file on PATH (or, when it holds a '/', at that path).
bool onPath(const std::string& name);

}  // namespace platform
