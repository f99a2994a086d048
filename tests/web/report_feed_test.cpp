#include "web/report_feed.h"

#include <gtest/gtest.h>

#include <string>

#include "core/text.h"
#include "core/user_paths.h"
#include "tests/support/fake_browser.h"
#include "tests/support/temp_dir.h"
#include "web/page_messages.h"

namespace {

class ReportFeed : public testing::Test {
protected:
    TempDir dir;
    FakeBrowser browser;

    void SetUp() override {
        useUserFolder(dir);
        reportPage = 0;
    }
    void manifest(int lines) {
        std::string text;
        for (int i = 1; i <= lines; ++i) text += "f" + std::to_string(i) + " = " + std::to_string(i) + "\n";
        writeFile(hashesPath.get(), text);
    }
    // The message for the lines first to last of a manifest() file.
    static std::u16string items(int first, int last) {
        std::string text = "[";
        for (int i = first; i <= last; ++i) {
            const std::string n = std::to_string(i);
            if (i > first) text += ",";
            text += "{\"id\":" + n + ", \"path\":\"f" + n + "\", \"hash\":\"" + n + "\"}";
        }
        return toWide(text + "]");
    }
    // The next page, as the page's "loadMore" gets it.
    std::u16string loadMore() {
        ++reportPage;
        sendReportPage();
        return browser.view.posted.empty() ? std::u16string() : browser.view.posted.back();
    }
};

// Quotes and control characters in a path cannot break the array; a blank line counts but
// yields no item.
TEST_F(ReportFeed, ItemsHaveTheExactShapeWithEscapedPaths) {
    writeFile(hashesPath.get(), "Astrovance\\EXE\\Astrovance.exe = 352441c2\nno equals sign\n\n"
                                "  spaced  =  0 \nwe\"ird\tname = 1\n");
    sendReportPage();
    EXPECT_EQ(browser.view.posted,
              std::vector<std::u16string>{
                  u"[{\"id\":1, \"path\":\"Astrovance\\\\EXE\\\\Astrovance.exe\", \"hash\":\"352441c2\"},"
                  u"{\"id\":2, \"path\":\"no equals sign\", \"hash\":\"\"},"
                  u"{\"id\":4, \"path\":\"spaced\", \"hash\":\"0\"},"
                  u"{\"id\":5, \"path\":\"we\\\"ird\\tname\", \"hash\":\"1\"}]"});
}

// Pages of 500 lines; past the last line the feed starts over, also right after a full page.
TEST_F(ReportFeed, PagesThroughTheManifestAndWraps) {
    manifest(1200);
    sendReportPage();
    EXPECT_EQ(browser.view.posted.back(), items(1, 500));
    EXPECT_EQ(loadMore(), items(501, 1000));
    EXPECT_EQ(loadMore(), items(1001, 1200));
    EXPECT_EQ(loadMore(), items(1, 500));
    EXPECT_EQ(reportPage, 0);

    manifest(1000);
    EXPECT_EQ(loadMore(), items(501, 1000));
    EXPECT_EQ(loadMore(), items(1, 500));
    EXPECT_EQ(reportPage, 0);
}

TEST_F(ReportFeed, MissingManifestIsLoggedAndSendsNothingAnEmptyOneAnEmptyArray) {
    sendReportPage();
    EXPECT_TRUE(browser.view.posted.empty());
    EXPECT_EQ(logMessages(), std::vector<std::string>{"Error open Hashes.ini"});

    writeFile(hashesPath.get(), "");
    reportPage = 3;
    sendReportPage();
    EXPECT_EQ(browser.view.posted, std::vector<std::u16string>{u"[]"});
    EXPECT_EQ(reportPage, 0);
}

}  // namespace
