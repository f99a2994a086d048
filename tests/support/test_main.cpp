#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>

int main(int argc, char** argv) {
    // Narrow text in the tests is UTF-8, as on a player's Linux desktop.
    std::setlocale(LC_ALL, "C.UTF-8");
#ifndef _WIN32
    // Unit tests never wait for a person: message boxes stay headless.
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
#endif
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
