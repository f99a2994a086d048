// The Win32 side of platform.h: documents folder, registry, files and message boxes.
#include <gtest/gtest.h>

#include <windows.h>

#include <filesystem>
#include <string>

#include "platform/platform.h"
#include "tests/support/temp_dir.h"

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
    bool exists(const std::string& key) const {
        HKEY opened = nullptr;
        if (RegOpenKeyExA(HKEY_CURRENT_USER, key.c_str(), 0, KEY_READ, &opened) != ERROR_SUCCESS)
            return false;
        RegCloseKey(opened);
        return true;
    }
};

TEST_F(TestRegistryKey, ValueIsWrittenAsTextUnderAnExistingKey) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(key);

    EXPECT_EQ(platform::writeGameRegistryValue(path, "MPAccountName", "Pilot"), std::optional(true));
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

TEST_F(TestRegistryKey, MissingKeyIsNeverCreated) {
    EXPECT_EQ(platform::writeGameRegistryValue(path, "MPAccountName", "Pilot"),
              std::optional(false));
    EXPECT_FALSE(exists(path));
}

TEST(Win32Platform, DeleteFileRemovesOneFileAndReportsAMissingOne) {
    TempDir folder;
    const fs::path file = folder.path() / "PrePatch.tmp";
    writeFile(file, "x");
    const std::wstring wide = file.wstring();
    const std::u16string path(wide.begin(), wide.end());
    EXPECT_TRUE(platform::deleteFile(path));
    EXPECT_FALSE(fs::exists(file));
    EXPECT_FALSE(platform::deleteFile(path));
}

TEST(Win32Platform, MessageBoxesGoToTheAnswererWhenOneIsSet) {
    static std::string seenText, seenCaption;
    static platform::MessageKind seenKind = platform::MessageKind::Notice;
    const platform::MessageBoxAnswerer previous = platform::messageBoxAnswerer;
    platform::messageBoxAnswerer = [](const std::string& text, const std::string& caption,
                                      platform::MessageKind kind) {
        seenText = text;
        seenCaption = caption;
        seenKind = kind;
        return platform::MessageAnswer::Yes;
    };
    const auto answer = platform::messageBox("Update now?", "Update Available",
                                             platform::MessageKind::Question);
    platform::messageBoxAnswerer = previous;
    EXPECT_EQ(answer, platform::MessageAnswer::Yes);
    EXPECT_EQ(seenText, "Update now?");
    EXPECT_EQ(seenCaption, "Update Available");
    EXPECT_EQ(seenKind, platform::MessageKind::Question);
}

TEST(Win32Platform, SecureRandomFillsTheBuffer) {
    unsigned char first[32] = {}, second[32] = {};
    ASSERT_TRUE(platform::secureRandom(first, sizeof first));
    ASSERT_TRUE(platform::secureRandom(second, sizeof second));
    EXPECT_NE(std::string(first, first + 32), std::string(second, second + 32));
}

}  // namespace
