#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <set>

#include "tests/service/running_service.h"

namespace fs = std::filesystem;

namespace {

std::vector<fs::path> pageFiles() {
    std::vector<fs::path> files;
    for (const auto& entry : fs::recursive_directory_iterator(ORV_TEST_PAGES_DIR)) {
        if (entry.is_regular_file()) files.push_back(entry.path());
    }
    return files;
}

TEST(Pages, LoadNothingFromOutsideTheService) {
    // Players may be offline or behind a firewall; every font, script and image is local.
    const std::regex external(R"((src|href|url)\s*[=(]\s*["']?\s*(https?:)?//)", std::regex::icase);
    const auto files = pageFiles();
    ASSERT_GE(files.size(), 5u);
    for (const auto& file : files) {
        SCOPED_TRACE(file.string());
        const std::string text = readFile(file);
        EXPECT_FALSE(std::regex_search(text, external));
        EXPECT_EQ(text.find("@import"), std::string::npos);
    }
}

TEST(Pages, NeverTurnMessageTextIntoMarkup) {
    for (const auto& file : pageFiles()) {
        SCOPED_TRACE(file.string());
        const std::string text = readFile(file);
        for (const char* sink : {"innerHTML", "outerHTML", "insertAdjacentHTML", "document.write", "eval("}) {
            EXPECT_EQ(text.find(sink), std::string::npos) << sink;
        }
    }
}

TEST(Pages, EveryLocalResourceTheyReferenceIsServed) {
    RunningService service;
    const std::string cookie = service.registerClient("pages");
    auto client = service.web();
    const std::regex reference(R"((?:src|href)="(/[^"#?]*))");
    std::set<std::string> checked;
    for (const char* page : {"/patcher/", "/patcher/report.html", "/launcher_client/index.php"}) {
        const auto answer = client.Get(page, {{"Cookie", cookie}});
        ASSERT_TRUE(answer);
        ASSERT_EQ(answer->status, 200) << page;
        for (std::sregex_iterator match(answer->body.begin(), answer->body.end(), reference), end;
             match != end; ++match) {
            const std::string path = (*match)[1];
            if (!checked.insert(path).second) continue;
            SCOPED_TRACE(std::string(page) + " -> " + path);
            const auto resource = client.Get(path, {{"Cookie", cookie}});
            ASSERT_TRUE(resource);
            EXPECT_EQ(resource->status, 200);
        }
    }
    // The stylesheet, the bridge, the three page scripts, the mark and the pages' own links.
    EXPECT_GE(checked.size(), 7u);
}

}  // namespace
