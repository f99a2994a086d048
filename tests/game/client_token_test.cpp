#include "game/client_token.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <set>

#include "core/ini_document.h"
#include "core/user_paths.h"
#include "tests/support/temp_dir.h"

namespace {

const std::regex hexWithoutLeadingZeros("0|[1-9a-f][0-9a-f]{0,7}");

TEST(ClientToken, IsA32BitHexHashThatDiffersWithinOneSecond) {
    std::set<std::string> tokens;
    for (int i = 0; i < 100; ++i) {
        const auto token = makeClientToken();
        ASSERT_TRUE(std::regex_match(token, hexWithoutLeadingZeros)) << token;
        tokens.insert(token);
    }
    // The clock alone would repeat; 100 draws of 32 random bits practically never collide.
    EXPECT_EQ(tokens.size(), 100u);
}

class StoredClientToken : public testing::Test {
protected:
    void SetUp() override {
        useUserFolder(dir);
        path = clientSettingsPath.get();
    }
    TempDir dir;
    std::string path;
};

TEST_F(StoredClientToken, IsMadeOnceThenReadBackAsItIs) {
    IniDocument::setValue(path, "CLIENT", "Version", "1.0");
    IniDocument::setValue(path, "Config", "WindowMode", "true");
    const std::string token = loadClientToken();
    EXPECT_EQ(readTextFile(path),
              "[CLIENT]\nVersion=1.0\ntoken=" + token + "\n[Config]\nWindowMode=true\n");
    EXPECT_EQ(loadClientToken(), token);

    // A stored token is the player's key at the service: used unchecked, the file left alone.
    writeFile(path, "[CLIENT]\ntoken=Not-Hex_At-All ; kept\n");
    const auto before = std::filesystem::last_write_time(path);
    EXPECT_EQ(loadClientToken(), "Not-Hex_At-All");
    EXPECT_EQ(readTextFile(path), "[CLIENT]\ntoken=Not-Hex_At-All ; kept\n");
    EXPECT_EQ(std::filesystem::last_write_time(path), before);
}

TEST_F(StoredClientToken, IsStillReturnedWhenTheSettingsCannotBeWritten) {
    std::filesystem::create_directories(path);  // a folder where the file belongs
    EXPECT_TRUE(std::regex_match(loadClientToken(), hexWithoutLeadingZeros));
}

}  // namespace
