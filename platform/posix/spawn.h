#pragma once

#include <string>
#include <vector>

namespace platform {

// Starts argv[0] (looked up on PATH) in `workingDirectory` (empty: the current one) as a
// grandchild, so it outlives the launcher and never becomes its zombie. Failures are silent.
void spawnDetached(const std::vector<std::string>& argv, const std::string& workingDirectory);

// True when `name` is an executable file on PATH (or, when it holds a '/', at that path).
bool onPath(const std::string& name);

}  // namespace platform
