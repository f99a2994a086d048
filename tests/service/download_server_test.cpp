#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include "tests/service/running_service.h"

namespace fs = std::filesystem;

namespace {

// A download folder as the generator lays it out, plus a secret beside it that must never leak.
class DownloadServer : public ::testing::Test {
protected:
    void SetUp() override {
        writeFile(root / "version.ini", "[CurrentVersion]\nversion=1.1\n");
        writeFile(root / "ORV-Setup.exe", std::string("MZ\0\x90setup", 9));
        writeFile(root / "updates/1.1/hashes.ini", "EXE\\Astrovance.exe = 352441c2\n");
        writeFile(root / "updates/1.1/DATA/file name.txt", "spaced");
        writeFile(root / "updates/2.0/full.zip", "PK\x03\x04zip");
        writeFile(service.folder.path() / "outside.txt", "top secret");
        fs::create_symlink(service.folder.path() / "outside.txt", root / "link-out.txt");
        fs::create_symlink(service.folder.path(), root / "dir-out");
        fs::create_symlink(root / "version.ini", root / "link-in.ini");
    }

    RunningService service;
    fs::path root = service.options.downloadFolder;
};

TEST_F(DownloadServer, ServesFilesWithTypeAndLengthAndNothingElse) {
    const std::string text = "text/plain; charset=utf-8";
    const struct {
        const char* path;
        int status;
        std::string contentType, body;
    } cases[] = {
        {"/version.ini", 200, text, "[CurrentVersion]\nversion=1.1\n"},
        {"/ORV-Setup.exe", 200, "application/vnd.microsoft.portable-executable", std::string("MZ\0\x90setup", 9)},
        {"/updates/1.1/hashes.ini", 200, text, "EXE\\Astrovance.exe = 352441c2\n"},
        {"/updates/1.1/DATA/file%20name.txt", 200, text, "spaced"},
        {"/updates/2.0/full.zip", 200, "application/zip", "PK\x03\x04zip"},
        {"/link-in.ini", 200, text, "[CurrentVersion]\nversion=1.1\n"},
        // The launcher asks for optional files and must get a plain 404.
        {"/updates/1.1/PostPatch.ini", 404, "", ""},
        {"/updates/", 404, "", ""},
        {"/updates/1.1", 404, "", ""},
    };
    auto client = service.download();
    for (const auto& expected : cases) {
        SCOPED_TRACE(expected.path);
        const auto answer = client.Get(expected.path);
        ASSERT_TRUE(answer);
        EXPECT_EQ(answer->status, expected.status);
        if (expected.status != 200) continue;
        EXPECT_EQ(answer->get_header_value("Content-Type"), expected.contentType);
        EXPECT_EQ(answer->get_header_value("Content-Length"), std::to_string(expected.body.size()));
        EXPECT_EQ(answer->body, expected.body);
    }
}

TEST_F(DownloadServer, RefusesPathsThatLeaveTheFolder) {
    auto client = service.download();
    for (const char* path : {"/../outside.txt", "/%2e%2e/outside.txt", "/..%2foutside.txt",
                             "/..%5coutside.txt", "//etc/passwd", "/C:/Windows/win.ini",
                             "/./version.ini", "/link-out.txt", "/dir-out/outside.txt"}) {
        SCOPED_TRACE(path);
        const auto answer = client.Get(path);
        ASSERT_TRUE(answer);
        EXPECT_EQ(answer->status, 403);
        EXPECT_EQ(answer->body.find("top secret"), std::string::npos);
    }
}

TEST_F(DownloadServer, StreamsLargeFilesWhole) {
    // Larger than any block the server reads at once, and not a multiple of it.
    std::string content(5 * 1024 * 1024 + 123, '\0');
    std::mt19937 random(7);
    for (char& c : content) c = static_cast<char>(random());
    writeFile(root / "updates/2.0/big.zip", content);

    const auto answer = service.download().Get("/updates/2.0/big.zip");
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, 200);
    EXPECT_TRUE(answer->body == content);
}

}  // namespace
