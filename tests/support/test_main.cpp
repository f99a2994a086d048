#include <gtest/gtest.h>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/platform.h"

int main(int argc, char** argv) {
    // Narrow text in the tests is UTF-8, as on a player's Linux desktop.
    std::setlocale(LC_ALL, "C.UTF-8");
    // Unit tests never wait for a person: message boxes stay headless.
#ifdef _WIN32
    platform::messageBoxAnswerer = [](const std::string& text, const std::string& caption,
                                      platform::MessageKind kind) {
        // Said on standard error as the Linux build says it without a display, and answered as
        // a dismissed box.
        std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
        std::fflush(stderr);
        return kind == platform::MessageKind::Question ? platform::MessageAnswer::No
                                                       : platform::MessageAnswer::Ok;
    };
#else
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
#endif
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
