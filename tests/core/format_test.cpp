#include "core/format.h"

#include <gtest/gtest.h>

namespace {

TEST(LowerHex, HasNoLeadingZerosAndLowerCaseDigits) {
    EXPECT_EQ(lowerHex(0), "0");
    EXPECT_EQ(lowerHex(0x6b9df6f), "6b9df6f");
    EXPECT_EQ(lowerHex(0xCBF43926u), "cbf43926");
    EXPECT_EQ(lowerHex(0x1B264C), "1b264c");
    EXPECT_EQ(lowerHex(0xFFFFFFFFFFFFFFFFull), "ffffffffffffffff");
}

}  // namespace
