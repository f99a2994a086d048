#include "launcher/window_layout.h"

#include <gtest/gtest.h>

namespace {

bool operator==(const WindowRect& a, const WindowRect& b) {
    return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}

TEST(WindowLayout, CentresTheDesignSizeAndLeavesTheBrowserATwoPixelRim) {
    EXPECT_TRUE(launcherWindowRect(1920, 1080) == (WindowRect{510, 290, 1414, 794}));
    EXPECT_TRUE(launcherWindowRect(1367, 769) == (WindowRect{233, 134, 1137, 638}));
    // Smaller than the design: negative edges, truncated toward zero.
    EXPECT_TRUE(launcherWindowRect(800, 499) == (WindowRect{-50, 0, 854, 504}));
    EXPECT_TRUE(launcherWindowRect(897, 400) == (WindowRect{-1, -50, 903, 454}));
    EXPECT_TRUE(browserBounds(904, 504) == (WindowRect{2, 2, 902, 502}));
}

}  // namespace
