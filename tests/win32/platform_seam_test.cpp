// The Win32 side of platform.h that no other suite reaches: the documents folder and the
// registry. Files, message boxes and random numbers are exercised by the patch, launcher and game
// suites, which the Windows build runs too.
#include <gtest/gtest.h>

#include <windows.h>

#include <filesystem>
#include <string>

#include "platform/platform.h"

namespace fs = std::filesystem;

namespace {

TEST(Win32Platform, DocumentsFolderIsTheShellsPersonalFolder) {
    const auto folder = platform::documentsFolder();
    ASSERT_TRUE(folder.has_value());
    EXPECT_FALSE(folder->empty());
    EXPECT_TRUE(fs::is_directory(fs::path(std::wstring(folder->begin(), folder->end()))));
}

class TestRegistryKey : public testing::Test {
protected:
    std::string path = "Software\\ORV Launcher Tests\\" + std::to_string(GetCurrentProcessId());
    void TearDown() override { RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\ORV Launcher Tests"); }
};

// The key belongs to the game: the launcher only fills in values under it.
TEST_F(TestRegistryKey, ValueIsWrittenAsTextOnlyUnderAnExistingKey) {
    EXPECT_EQ(platform::writeGameRegistryValue(path, "MPAccountName", "Pilot"),
              std::optional(false));
    HKEY key = nullptr;
    EXPECT_NE(RegOpenKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &key), ERROR_SUCCESS);

    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_EQ(platform::writeGameRegistryValue(path, "MPAccountName", "Pilot"),
              std::optional(true));
    char data[64] = {};
    DWORD size = sizeof data;
    DWORD type = 0;
    ASSERT_EQ(RegGetValueA(HKEY_CURRENT_USER, path.c_str(), "MPAccountName", RRF_RT_ANY, &type,
                           data, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_STREQ(data, "Pilot");
    EXPECT_EQ(size, 6u);  // with its terminator
}

}  // namespace
