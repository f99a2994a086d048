#include <gtest/gtest.h>

#include <filesystem>

#include "tests/service/running_service.h"

namespace fs = std::filesystem;

namespace {

// The demo's download folder is served as it is, and nothing outside it: no climbing up, no
// drive, no link that leads out.
TEST(DownloadServer, ServesTheFolderAndNothingOutsideIt) {
    RunningService service;
    const fs::path root = service.options.downloadFolder, outside = service.folder.path();
    writeFile(root / "updates/1.1/DATA/file name.txt", std::string("a\0b", 3));
    writeFile(outside / "outside.txt", "top secret");
    fs::create_symlink(outside / "outside.txt", root / "link-out.txt");
    const std::pair<const char*, int> rows[] = {
        {"/updates/1.1/DATA/file%20name.txt", 200},
        {"/../outside.txt", 403},
        {"/..%5coutside.txt", 403},
        {"/C:/Windows/win.ini", 403},
        {"/link-out.txt", 403},
    };
    auto client = service.download();
    for (const auto& [path, status] : rows) {
        const auto answer = client.Get(path);
        ASSERT_TRUE(answer) << path;
        EXPECT_EQ(answer->status, status) << path;
        EXPECT_EQ(answer->body == std::string("a\0b", 3), status == 200) << path;
    }
}

}  // namespace
