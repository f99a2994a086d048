// Peers are other programs timed beside ours in the same run. One that is not installed gives no
// figures and no ratio, only a line that says so: `scripts/setup --bench` installs them.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

inline bool peerPresent(const char* program) {
    const std::string look = "command -v " + std::string(program) + " >/dev/null 2>&1";
    if (std::system(look.c_str()) == 0) return true;
    std::printf("  %s: peer missing, no ratio (scripts/setup --bench installs it)\n", program);
    return false;
}
