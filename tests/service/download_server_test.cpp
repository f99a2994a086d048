#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include "tests/service/running_service.h"

namespace fs = std::filesystem;

namespace {

// A download folder as the generator lays it out, with links inside and out, and a secret beside
// it that must never leak.
TEST(DownloadServer, ServesFilesWithTypeAndLengthAndNothingOutsideTheFolder) {
    RunningService service;
    const fs::path root = service.options.downloadFolder, outside = service.folder.path();
    const std::string text = "text/plain; charset=utf-8", zip = "application/zip";
    // Larger than any block the server reads at once, and not a multiple of it.
    std::string big(5 * 1024 * 1024 + 123, '\0');
    std::mt19937 random(7);
    for (char& c : big) c = static_cast<char>(random());
    const struct {
        std::string path, file, contentType, body;
    } served[] = {
        {"/version.ini", "version.ini", text, "[CurrentVersion]\nversion=1.1\n"},
        {"/ORV-Setup.exe", "ORV-Setup.exe", "application/vnd.microsoft.portable-executable",
         {"MZ\0\x90setup", 9}},
        {"/updates/1.1/DATA/file%20name.txt", "updates/1.1/DATA/file name.txt", text, "spaced"},
        {"/updates/2.0/big.zip", "updates/2.0/big.zip", zip, big},
        {"/link-in.ini", "", text, "[CurrentVersion]\nversion=1.1\n"},
    };
    for (const auto& file : served)
        if (!file.file.empty()) writeFile(root / file.file, file.body);
    fs::create_symlink(root / "version.ini", root / "link-in.ini");
    writeFile(outside / "outside.txt", "top secret");
    fs::create_symlink(outside / "outside.txt", root / "link-out.txt");
    fs::create_symlink(outside, root / "dir-out");

    auto client = service.download();
    for (const auto& expected : served) {
        const auto answer = client.Get(expected.path);
        ASSERT_TRUE(answer) << expected.path;
        EXPECT_EQ(answer->status, 200) << expected.path;
        EXPECT_EQ(answer->get_header_value("Content-Type"), expected.contentType);
        EXPECT_EQ(answer->get_header_value("Content-Length"), std::to_string(expected.body.size()));
        EXPECT_TRUE(answer->body == expected.body) << expected.path;  // one is 5 MiB
    }
    // The launcher asks for optional files and must get a plain 404.
    const std::pair<int, std::vector<const char*>> refused[] = {
        {404, {"/updates/1.1/PostPatch.ini", "/updates/", "/updates/1.1"}},
        {403, {"/../outside.txt", "/%2e%2e/outside.txt", "/..%2foutside.txt", "/..%5coutside.txt",
               "//etc/passwd", "/C:/Windows/win.ini", "/./version.ini", "/link-out.txt",
               "/dir-out/outside.txt"}},
    };
    for (const auto& [status, paths] : refused) {
        for (const char* path : paths) {
            const auto answer = client.Get(path);
            ASSERT_TRUE(answer) << path;
            EXPECT_EQ(answer->status, status) << path;
            EXPECT_EQ(answer->body.find("top secret"), std::string::npos) << path;
        }
    }
}

}  // namespace
