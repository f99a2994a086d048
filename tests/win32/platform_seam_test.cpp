// The Win32 side of platform.h that no other suite reaches, and the code page the manifest sets.
// Files, message boxes and random numbers are exercised by the patch, launcher and game suites,
// which the Windows build runs too.
#include <gtest/gtest.h>

#include <windows.h>

#include <filesystem>
#include <string>

#include "platform/platform.h"

namespace {

// UTF-8 as the narrow code page makes a user folder below any user name reachable through the
// launcher's narrow paths: non-ASCII folders once failed under Wine (the core and patch suites
// check the paths themselves under this code page).
TEST(Win32Platform, ManifestSelectsUtf8AndDocumentsFolderIsTheShellsPersonalFolder) {
    EXPECT_EQ(GetACP(), 65001u);
    const auto folder = platform::documentsFolder();
    ASSERT_TRUE(folder && !folder->empty());
    EXPECT_TRUE(std::filesystem::is_directory(std::wstring(folder->begin(), folder->end())));
}

// The key belongs to the game: the launcher only fills in values under it.
TEST(Win32Platform, RegistryValueIsWrittenAsTextOnlyUnderAnExistingKey) {
    const std::string path =
        "Software\\ORV Launcher Tests\\" + std::to_string(GetCurrentProcessId());
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
    DWORD size = sizeof data, type = 0;
    EXPECT_EQ(RegGetValueA(HKEY_CURRENT_USER, path.c_str(), "MPAccountName", RRF_RT_ANY, &type,
                           data, &size),
              ERROR_SUCCESS);
    RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\ORV Launcher Tests");
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_STREQ(data, "Pilot");
    EXPECT_EQ(size, 6u);  // with its terminator
}

}  // namespace
