#include "service/client_store.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sys/stat.h>
#include <unistd.h>

#include "service/account_signature.h"
#include "tests/support/temp_dir.h"

namespace fs = std::filesystem;

namespace {

TEST(AccountSignature, IsHmacSha256InLowerCaseHex) {
    // RFC 4231, test case 2.
    EXPECT_EQ(signAccountName("Jefe", "what do ya want for nothing?"),
              "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
}

class ClientStoreTest : public ::testing::Test {
protected:
    TempDir dir;
    fs::path file = dir.path() / "state" / "clients.json";
    ClientStore store;
};

TEST_F(ClientStoreTest, FirstOpenCreatesAPrivateFileWhoseSecretIsKeptADamagedOneIsLeftAlone) {
    ASSERT_EQ(store.open(file), "");
    const auto stored = nlohmann::json::parse(readFile(file));
    EXPECT_EQ(stored["secret"].get<std::string>().size(), 64u);
    EXPECT_TRUE(stored["clients"].empty());
    struct stat info {};
    ASSERT_EQ(::stat(file.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);  // it holds the signing secret
    ClientStore reopened;
    ASSERT_EQ(reopened.open(file), "");
    EXPECT_EQ(reopened.signature("Pilot-ABCDEF"), store.signature("Pilot-ABCDEF"));

    for (const std::string content : {"{\"secret\": \"abc\", \"clients\": {", "[]", "{\"clients\": {}}"}) {
        SCOPED_TRACE(content);
        writeFile(file, content);
        EXPECT_NE(ClientStore().open(file).find("damaged"), std::string::npos);
        EXPECT_EQ(readFile(file), content);
    }
}

TEST_F(ClientStoreTest, OnlyValidTokensOfKnownClientsAndWritesThatReplaceTheFileOrChangeNothing) {
    ASSERT_EQ(store.open(file), "");
    EXPECT_FALSE(store.saveSettings("nobody", GameSettings{}));
    EXPECT_FALSE(store.registerClient("a b"));
    EXPECT_FALSE(store.find("a b"));
    EXPECT_TRUE(isValidToken("Token_with-dots.1"));
    EXPECT_TRUE(isValidToken(std::string(64, 'a')));
    for (const std::string& token : std::vector<std::string>{"", "a;b", "a\r\nb", std::string(65, 'a')})
        EXPECT_FALSE(isValidToken(token)) << token;

    ASSERT_TRUE(store.registerClient("abc"));
    std::string before = readFile(file);
    // An in-place rewrite would change what a second name of the old file shows; a new file
    // renamed over it leaves it alone.
    fs::create_hard_link(file, dir.path() / "old.json");
    GameSettings settings;
    settings.autoConnect = true;
    ASSERT_TRUE(store.saveSettings("abc", settings));
    EXPECT_EQ(readFile(dir.path() / "old.json"), before);
    EXPECT_NE(readFile(file), before);
    EXPECT_EQ(std::distance(fs::directory_iterator(file.parent_path()), fs::directory_iterator()), 1)
        << "no temporary file left behind";

    before = readFile(file);
    // A directory where the temporary file would go makes the write fail, even for root.
    fs::create_directory(file.string() + ".tmp-" + std::to_string(::getpid()));
    settings.runInBackground = true;
    EXPECT_FALSE(store.saveSettings("abc", settings));
    EXPECT_FALSE(store.find("abc")->settings.runInBackground);
    EXPECT_FALSE(store.registerClient("def"));
    EXPECT_FALSE(store.find("def"));
    EXPECT_EQ(readFile(file), before);
}

}  // namespace
