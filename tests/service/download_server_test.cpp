#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <random>

#include "tests/service/running_service.h"

namespace fs = std::filesystem;

namespace {

// A download folder as the generator lays it out, plus a secret beside it that must never leak.
class DownloadServer : public ::testing::Test {
protected:
    void SetUp() override {
        const fs::path root = service.options().downloadFolder;
        writeFile(root / "version.ini", "[CurrentVersion]\nversion=1.1\n[Updates]\n1.1=inc,/updates/1.1/hashes.ini\n");
        writeFile(root / "ORV-Setup.exe", std::string("MZ\0\x90setup", 9));
        writeFile(root / "updates/1.1/hashes.ini", "EXE\\Astrovance.exe = 352441c2\n");
        writeFile(root / "updates/1.1/PrePatch.ini", "DELETE = Astrovance\\old.dll\n");
        writeFile(root / "updates/1.1/EXE/Astrovance.exe", "abc");
        writeFile(root / "updates/1.1/DATA/file name.txt", "spaced");
        writeFile(root / "updates/2.0/full.zip", "PK\x03\x04zip");
        writeFile(root / "updates/2.0/full.ini", "full.zip = 1234abcd\n");
        writeFile(service.folder().path() / "outside.txt", "top secret");
        fs::create_symlink(service.folder().path() / "outside.txt", root / "link-out.txt");
        fs::create_symlink(service.folder().path(), root / "dir-out");
        fs::create_symlink(root / "version.ini", root / "link-in.ini");
    }

    RunningService service;
};

struct Served {
    const char* path;
    const char* contentType;
    std::string body;
};

TEST_F(DownloadServer, ServesEveryKindOfFileTheLauncherAsksFor) {
    const Served cases[] = {
        {"/version.ini", "text/plain; charset=utf-8",
         "[CurrentVersion]\nversion=1.1\n[Updates]\n1.1=inc,/updates/1.1/hashes.ini\n"},
        {"/ORV-Setup.exe", "application/vnd.microsoft.portable-executable", std::string("MZ\0\x90setup", 9)},
        {"/updates/1.1/hashes.ini", "text/plain; charset=utf-8", "EXE\\Astrovance.exe = 352441c2\n"},
        {"/updates/1.1/PrePatch.ini", "text/plain; charset=utf-8", "DELETE = Astrovance\\old.dll\n"},
        {"/updates/1.1/EXE/Astrovance.exe", "application/vnd.microsoft.portable-executable", "abc"},
        {"/updates/1.1/DATA/file%20name.txt", "text/plain; charset=utf-8", "spaced"},
        {"/updates/2.0/full.zip", "application/zip", "PK\x03\x04zip"},
        {"/updates/2.0/full.ini", "text/plain; charset=utf-8", "full.zip = 1234abcd\n"},
        {"/link-in.ini", "text/plain; charset=utf-8",
         "[CurrentVersion]\nversion=1.1\n[Updates]\n1.1=inc,/updates/1.1/hashes.ini\n"},
    };
    auto client = service.download();
    for (const auto& expected : cases) {
        SCOPED_TRACE(expected.path);
        const auto answer = client.Get(expected.path);
        ASSERT_TRUE(answer);
        EXPECT_EQ(answer->status, 200);
        EXPECT_EQ(answer->get_header_value("Content-Type"), expected.contentType);
        EXPECT_EQ(answer->get_header_value("Content-Length"), std::to_string(expected.body.size()));
        EXPECT_EQ(answer->body, expected.body);
    }
}

TEST_F(DownloadServer, AnswersMissingFilesAndFoldersWith404) {
    auto client = service.download();
    for (const char* path : {"/PostPatch.ini", "/updates/1.1/PostPatch.ini", "/updates/",
                             "/updates/1.1", "/", "/nothing/here.ini"}) {
        SCOPED_TRACE(path);
        const auto answer = client.Get(path);
        ASSERT_TRUE(answer);
        EXPECT_EQ(answer->status, 404);
    }
}

TEST_F(DownloadServer, RefusesPathsThatLeaveTheFolder) {
    auto client = service.download();
    const char* attempts[] = {
        "/../outside.txt",
        "/updates/../../outside.txt",
        "/%2e%2e/outside.txt",
        "/%2E%2E/outside.txt",
        "/updates/1.1/%2e%2e/%2e%2e/%2e%2e/outside.txt",
        "/..%2foutside.txt",
        "/updates/..%2f..%2f..%2foutside.txt",
        "/..%5coutside.txt",
        "/updates\\..\\..\\outside.txt",
        "//etc/passwd",
        "/C:/Windows/win.ini",
        "/link-out.txt",
        "/dir-out/outside.txt",
        "/./version.ini",
    };
    for (const char* path : attempts) {
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
    writeFile(service.options().downloadFolder / "updates/2.0/big.zip", content);

    auto client = service.download();
    const auto answer = client.Get("/updates/2.0/big.zip");
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, 200);
    EXPECT_EQ(answer->get_header_value("Content-Length"), std::to_string(content.size()));
    EXPECT_TRUE(answer->body == content);
}

TEST_F(DownloadServer, LogsOneLinePerRequest) {
    auto client = service.download();
    ASSERT_TRUE(client.Get("/version.ini"));
    ASSERT_TRUE(client.Get("/missing.ini"));
    service.stop();
    // A line is written once its answer is out, so the client may be quicker than the log.
    auto lines = service.logLines();
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(lines, (std::vector<std::string>{"download GET /missing.ini 404",
                                                "download GET /version.ini 200"}));
}

}  // namespace
