#include "game/client_token.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

#include "core/ini_document.h"
#include "core/user_paths.h"
#include "tests/support/temp_dir.h"

namespace {

TEST(ClientToken, HasTheFormOfA32BitHashInHex) {
    const std::regex form("[0-9a-f]{1,8}");
    for (int i = 0; i < 200; ++i) {
        const auto token = makeClientToken();
        ASSERT_TRUE(std::regex_match(token, form)) << token;
        ASSERT_TRUE(token == "0" || token[0] != '0') << token;
    }
}

TEST(ClientToken, TokensMadeInTheSameSecondDiffer) {
    std::set<std::string> tokens;
    for (int i = 0; i < 50; ++i) tokens.insert(makeClientToken());
    // 50 draws of 32 random bits: a collision is astronomically unlikely, unlike with the clock alone.
    EXPECT_EQ(tokens.size(), 50u);
}

TEST(ClientToken, IsMadeOnceAndThenReadBack) {
    TempDir dir;
    setUserPaths(dir.file("Documents"));
    const std::string path = clientSettingsPath.get();
    IniDocument::setValue(path, "CLIENT", "Version", "1.0");
    IniDocument::setValue(path, "Config", "WindowMode", "true");

    const std::string token = loadClientToken();
    EXPECT_EQ(readTextFile(path), "[CLIENT]\nVersion=1.0\ntoken=" + token + "\n[Config]\nWindowMode=true\n");
    EXPECT_EQ(loadClientToken(), token);
}

TEST(ClientToken, StoredTokenIsUsedUnchangedAndTheFileNotRewritten) {
    TempDir dir;
    setUserPaths(dir.file("Documents"));
    const std::string path = clientSettingsPath.get();
    writeFile(path, "[CLIENT]\ntoken=Not-Hex_At-All ; kept\n");
    const auto before = std::filesystem::last_write_time(path);
    EXPECT_EQ(loadClientToken(), "Not-Hex_At-All");
    EXPECT_EQ(readTextFile(path), "[CLIENT]\ntoken=Not-Hex_At-All ; kept\n");
    EXPECT_EQ(std::filesystem::last_write_time(path), before);
}

TEST(ClientToken, IsStillReturnedWhenTheSettingsCannotBeWritten) {
    TempDir dir;
    writeFile(dir.file("Documents"), "a file where the documents folder should be");
    setUserPaths(dir.file("Documents"));
    EXPECT_TRUE(std::regex_match(loadClientToken(), std::regex("[0-9a-f]{1,8}")));
}

}  // namespace
