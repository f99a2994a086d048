#include "service/client_store.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sys/stat.h>

#include "service/account_signature.h"
#include "tests/support/temp_dir.h"

namespace fs = std::filesystem;

namespace {

TEST(AccountSignature, IsHmacSha256InLowerCaseHex) {
    // RFC 4231, test case 2.
    EXPECT_EQ(signAccountName("Jefe", "what do ya want for nothing?"),
              "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
    EXPECT_NE(signAccountName("other secret", "Pilot-123456"), signAccountName("secret", "Pilot-123456"));
}

TEST(AccountSignature, RandomHexHasTheAskedLengthAndVaries) {
    const std::string first = randomHex(32);
    EXPECT_EQ(first.size(), 64u);
    EXPECT_EQ(first.find_first_not_of("0123456789abcdef"), std::string::npos);
    EXPECT_NE(first, randomHex(32));
}

TEST(ClientStore, FirstOpenCreatesTheFolderAndAPrivateFileWithASecret) {
    TempDir dir;
    const fs::path file = dir.path() / "deep" / "state" / "clients.json";
    ClientStore store;
    ASSERT_EQ(store.open(file), "");
    ASSERT_TRUE(fs::exists(file));
    const auto stored = nlohmann::json::parse(readFile(file));
    EXPECT_EQ(stored["secret"].get<std::string>().size(), 64u);
    EXPECT_TRUE(stored["clients"].empty());
    struct stat info {};
    ASSERT_EQ(::stat(file.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    // A second service keeps the secret, so signatures stay valid across restarts.
    ClientStore reopened;
    ASSERT_EQ(reopened.open(file), "");
    EXPECT_EQ(reopened.signature("Pilot-ABCDEF"), store.signature("Pilot-ABCDEF"));
}

TEST(ClientStore, WritesReplaceTheFileInsteadOfRewritingItInPlace) {
    TempDir dir;
    const fs::path file = dir.path() / "clients.json";
    ClientStore store;
    ASSERT_EQ(store.open(file), "");
    ASSERT_TRUE(store.registerClient("abc"));
    const std::string before = readFile(file);

    // A second name for the old file: an in-place rewrite would change what it shows, a rename
    // of a new file over the old name leaves it as it was.
    const fs::path oldLink = dir.path() / "old-link.json";
    fs::create_hard_link(file, oldLink);
    GameSettings settings;
    settings.autoConnect = true;
    ASSERT_TRUE(store.saveSettings("abc", settings));
    EXPECT_EQ(readFile(oldLink), before);
    EXPECT_NE(readFile(file), before);

    // Nothing but the store and the test's link remain in the folder.
    size_t entries = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(dir.path())) ++entries;
    EXPECT_EQ(entries, 2u);
}

TEST(ClientStore, ADamagedFileIsReportedAndLeftAlone) {
    TempDir dir;
    const fs::path file = dir.path() / "clients.json";
    for (const std::string content : {"{\"secret\": \"abc\", \"clients\": {", "[]", "{\"clients\": {}}", ""}) {
        SCOPED_TRACE(content);
        writeFile(file, content);
        ClientStore store;
        EXPECT_NE(store.open(file).find("damaged"), std::string::npos);
        EXPECT_EQ(readFile(file), content);
    }
}

TEST(ClientStore, UnknownTokensAreNotSavedAndOddTokensNotRegistered) {
    TempDir dir;
    ClientStore store;
    ASSERT_EQ(store.open(dir.path() / "clients.json"), "");
    EXPECT_FALSE(store.saveSettings("nobody", GameSettings{}));
    EXPECT_FALSE(store.find("nobody"));
    EXPECT_FALSE(store.registerClient("a b"));
    EXPECT_FALSE(store.registerClient(""));
    EXPECT_FALSE(store.find("a b"));
    EXPECT_TRUE(isValidToken("1a2b3c4d"));
    EXPECT_TRUE(isValidToken("Token_with-dots.1"));
    EXPECT_FALSE(isValidToken("a;b"));
    EXPECT_FALSE(isValidToken(std::string(65, 'a')));
}

TEST(ClientStore, AFailedWriteKeepsTheOldStateInMemoryAndOnDisk) {
    TempDir dir;
    const fs::path folder = dir.path() / "state";
    const fs::path file = folder / "clients.json";
    ClientStore store;
    ASSERT_EQ(store.open(file), "");
    ASSERT_TRUE(store.registerClient("abc"));
    const std::string before = readFile(file);

    // A directory where the temporary file would go makes the write fail, even for root.
    fs::create_directory(file.string() + ".tmp-" + std::to_string(::getpid()));
    GameSettings settings;
    settings.runInBackground = true;
    EXPECT_FALSE(store.saveSettings("abc", settings));
    EXPECT_FALSE(store.find("abc")->settings.runInBackground);
    EXPECT_FALSE(store.registerClient("def"));
    EXPECT_FALSE(store.find("def"));
    EXPECT_EQ(readFile(file), before);
}

}  // namespace
