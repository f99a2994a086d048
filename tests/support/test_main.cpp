#include <gtest/gtest.h>

#include <clocale>

int main(int argc, char** argv) {
    // Narrow text in the tests is UTF-8, as on a player's Linux desktop.
    std::setlocale(LC_ALL, "C.UTF-8");
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
