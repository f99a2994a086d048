// The manifest makes UTF-8 the process's narrow code page, so a user folder below any user name
// is reachable through the launcher's narrow paths (the core and patch suites check the paths
// themselves under this code page).
#include <gtest/gtest.h>

#include <windows.h>

namespace {

TEST(CodePage, ManifestSelectsUtf8) { EXPECT_EQ(GetACP(), 65001u); }

}  // namespace
