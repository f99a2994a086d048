// The Win32 side of platform.h that no other suite reaches, and the code page the manifest sets.
#include <gtest/gtest.h>

#include <windows.h>

#include <filesystem>
#include <string>

#include "platform/platform.h"

namespace {

// UTF-8 as the narrow code page makes a user folder below any user name reachable through the
// launcher's narrow paths: non-ASCII folders once failed under Wine.
TEST(Win32Platform, ManifestSelectsUtf8AndDocumentsFolderIsTheShellsPersonalFolder) {
    EXPECT_EQ(GetACP(), 65001u);
    const auto folder = platform::documentsFolder();
    ASSERT_TRUE(folder && !folder->empty());
    EXPECT_TRUE(std::filesystem::is_directory(std::wstring(folder->begin(), folder->end())));
}

// The key belongs to the game: the launcher only fills in text values under it.
TEST(Win32Platform, RegistryValueIsWrittenAsTextOnlyUnderAnExistingKey) {
    const std::string path = "Software\\ORV Tests\\" + std::to_string(GetCurrentProcessId());
    EXPECT_EQ(platform::writeGameRegistryValue("", path, "Name", "Pilot"),
              platform::RegistryWrite::NoKey);
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyA(HKEY_CURRENT_USER, path.c_str(), &key), ERROR_SUCCESS);
    EXPECT_EQ(platform::writeGameRegistryValue("", path, "Name", "Pilot"),
              platform::RegistryWrite::Stored);
    char data[64] = {};
    DWORD type = 0, size = sizeof data;
    RegQueryValueExA(key, "Name", nullptr, &type, reinterpret_cast<BYTE*>(data), &size);
    RegCloseKey(key);
    RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\ORV Tests");
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(std::string(data, size), std::string("Pilot", 6)) << "text with its terminator";
}

}  // namespace
