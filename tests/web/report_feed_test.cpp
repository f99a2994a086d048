#include "web/report_feed.h"

#include <gtest/gtest.h>

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
    // The ids of the items of the last message, in order.
    std::vector<int> lastIds() const {
        std::vector<int> ids;
        const std::u16string& text = browser.view.posted.back();
        for (size_t at = text.find(u"{\"id\":"); at != std::u16string::npos;
             at = text.find(u"{\"id\":", at + 1)) {
            ids.push_back(std::stoi(std::string(text.begin() + at + 6, text.begin() + text.find(u',', at))));
        }
        return ids;
    }
    void loadMore() {
        ++reportPage;
        sendReportPage();
    }
};

std::vector<int> range(int first, int last) {
    std::vector<int> ids;
    for (int i = first; i <= last; ++i) ids.push_back(i);
    return ids;
}

TEST_F(ReportFeed, ItemsHaveTheExactShapeWithEscapedPaths) {
    writeFile(hashesPath.get(), "Astrovance\\EXE\\Astrovance.exe = 352441c2\nno equals sign\n  spaced  =  0 \n");
    sendReportPage();
    ASSERT_EQ(browser.view.posted.size(), 1u);
    EXPECT_EQ(browser.view.posted[0],
              u"[{\"id\":1, \"path\":\"Astrovance\\\\EXE\\\\Astrovance.exe\", \"hash\":\"352441c2\"},"
              u"{\"id\":2, \"path\":\"no equals sign\", \"hash\":\"\"},"
              u"{\"id\":3, \"path\":\"spaced\", \"hash\":\"0\"}]");
}

TEST_F(ReportFeed, QuotesAndControlCharactersCannotBreakTheArray) {
    writeFile(hashesPath.get(), "we\"ird\tname = 1\n");
    sendReportPage();
    EXPECT_EQ(browser.view.posted.at(0), u"[{\"id\":1, \"path\":\"we\\\"ird\\tname\", \"hash\":\"1\"}]");
}

TEST_F(ReportFeed, PagesThroughTwelveHundredLinesAndWraps) {
    manifest(1200);
    sendReportPage();
    EXPECT_EQ(lastIds(), range(1, 500));
    loadMore();
    EXPECT_EQ(lastIds(), range(501, 1000));
    loadMore();
    EXPECT_EQ(lastIds(), range(1001, 1200));
    loadMore();
    EXPECT_EQ(lastIds(), range(1, 500));
    EXPECT_EQ(reportPage, 0);
}

TEST_F(ReportFeed, ExactlyOneThousandLinesWrapAfterTheSecondPage) {
    manifest(1000);
    sendReportPage();
    loadMore();
    EXPECT_EQ(lastIds(), range(501, 1000));
    loadMore();
    EXPECT_EQ(reportPage, 0);
    EXPECT_EQ(lastIds(), range(1, 500));
}

TEST_F(ReportFeed, BlankLinesCountButYieldNoItem) {
    writeFile(hashesPath.get(), "a = 1\n\nb = 2\n");
    sendReportPage();
    EXPECT_EQ(lastIds(), (std::vector<int>{1, 3}));
}

TEST_F(ReportFeed, EmptyManifestSendsAnEmptyArray) {
    writeFile(hashesPath.get(), "");
    reportPage = 3;
    sendReportPage();
    EXPECT_EQ(browser.view.posted.at(0), u"[]");
    EXPECT_EQ(reportPage, 0);
}

TEST_F(ReportFeed, MissingManifestIsLoggedAndSendsNothing) {
    sendReportPage();
    EXPECT_TRUE(browser.view.posted.empty());
    EXPECT_EQ(logMessages(), std::vector<std::string>{"Error open Hashes.ini"});
}

}  // namespace
