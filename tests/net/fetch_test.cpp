#include "net/fetch.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "net/stall_limit.h"
#include "tests/support/http_server.h"
#include "tests/support/temp_dir.h"

namespace {

// One row: what the server answers, what fetchUrl must return, and the line each failed attempt
// logs. "{url}" in that line stands for the fetched URL.
struct FetchCase {
    const char* name;
    std::vector<std::pair<std::string, std::vector<HttpAnswer>>> scripts;
    std::string result;
    int failedAttempts;
    std::string failure;
    int requests;  // of "/doc"
    int stallSeconds = defaultStallSeconds;
};

const std::string body = "[LAUNCHER]\r\nVersion=0.0.3\r\n";
const std::string binary("a\0b\r\n\xff", 6);
const std::string performFailed = "curl_easy_perform() failed: ";

std::vector<std::string> repeated(const std::string& line, int times) {
    return std::vector<std::string>(static_cast<std::size_t>(times), line);
}

const FetchCase fetchCases[] = {
    {"okWithEmptyBody", {{"/doc", {answer(200)}}}, "", 0, "", 1},
    {"binaryBodyUnchanged", {{"/doc", {answer(200, binary)}}}, binary, 0, "", 1},
    {"serverErrorThreeTimes", {{"/doc", {answer(500, "broken")}}}, "", 3,
     "HTTP Error: 500 {url}", 3},
    {"serverErrorThenOk", {{"/doc", {answer(500, "broken"), answer(200, body)}}}, body, 1,
     "HTTP Error: 500 {url}", 2},
    {"noContentIsNotOk", {{"/doc", {answer(204)}}}, "", 3, "HTTP Error: 204 {url}", 3},
    {"redirectFollowed",
     {{"/doc", {redirectTo("/moved")}}, {"/moved", {answer(200, "final body")}}},
     "final body", 0, "", 1},
    {"permanentRedirectFollowed",
     {{"/doc", {redirectTo("/moved", 301)}}, {"/moved", {answer(404)}}},
     "", 3, "HTTP Error: 404 {url}", 3},
    {"cutOffThenWhole",
     {{"/doc", {answer(200, std::string(4000, 'x'), Delivery::CutOff), answer(200, body)}}},
     body, 1, performFailed + "Transferred a partial file", 2},
    {"chunkedBody", {{"/doc", {answer(200, std::string(100000, 'c'), Delivery::Chunked)}}},
     std::string(100000, 'c'), 0, "", 1},
    {"stalledBodyThenWhole", {{"/doc", {answer(200, "xy", Delivery::Stall), answer(200, body)}}},
     body, 1, performFailed + "Timeout was reached", 2, 1},
    {"silentServerThenWhole", {{"/doc", {answer(200, body, Delivery::Silent), answer(200, body)}}},
     body, 1, performFailed + "Timeout was reached", 2, 1},
#ifndef _WIN32  // the test server resets connections on POSIX only
    {"resetThenWhole",
     {{"/doc", {answer(200, std::string(4000, 'x'), Delivery::Reset), answer(200, body)}}},
     body, 1, performFailed + "Failure when receiving data from the peer", 2},
#endif
    // The announced length is what the client keeps; the bytes behind it are dropped.
    {"announcedLengthShorterThanBody",
     {{"/doc", {answer(200, "0123456789", Delivery::ShortLength)}}}, "01234", 0, "", 1},
    // Regression: an answer without end grew the body until memory ran out.
    {"endlessBodyFailsInsteadOfTakingAllMemory", {{"/doc", {answer(200, {}, Delivery::Endless)}}},
     "", 3, performFailed + "Failed writing received data to disk/application", 3},
    {"redirectLoopEnds", {{"/doc", {redirectTo("/doc")}}}, "", 3,
     performFailed + "Number of redirects hit maximum amount", 3 * 31},
};

class Fetch : public testing::Test {
protected:
    void SetUp() override { useUserFolder(folder); }
    void TearDown() override { setStallSeconds(defaultStallSeconds); }

    TempDir folder;
    HttpServer server;
};

class FetchTable : public Fetch, public testing::WithParamInterface<FetchCase> {};

TEST_P(FetchTable, AnswersResultAndLog) {
    const FetchCase& row = GetParam();
    for (const auto& [path, answers] : row.scripts) server.script(path, answers);
    setStallSeconds(row.stallSeconds);
    const std::string url = server.url("/doc");
    std::string failure = row.failure;
    if (const auto at = failure.find("{url}"); at != std::string::npos) failure.replace(at, 5, url);

    EXPECT_EQ(fetchUrl(url), row.result);
    EXPECT_EQ(logMessages(), repeated(failure, row.failedAttempts));
    EXPECT_EQ(server.requests("/doc"), row.requests);
}

INSTANTIATE_TEST_SUITE_P(Rows, FetchTable, testing::ValuesIn(fetchCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Fetch, UnreachableServerCostsThreeAttempts) {
    std::string url;
    {
        HttpServer gone;
        url = gone.url("/version.ini");
    }
    EXPECT_EQ(fetchUrl(url), "");
    EXPECT_EQ(logMessages(), repeated(performFailed + "Couldn't connect to server", 3));
}

TEST_F(Fetch, QueryReachesServerUnescapedAndScriptedPerQuery) {
    server.script("/launcher_client/index.php?a=getaccount&token=abc", {answer(200, "{\"a\":1}")});
    server.script("/launcher_client/index.php", {answer(500)});
    EXPECT_EQ(fetchUrl(server.url("/launcher_client/index.php?a=getaccount&token=abc")),
              "{\"a\":1}");
    EXPECT_EQ(server.requests("/launcher_client/index.php"), 1);
    EXPECT_EQ(server.requestLog(),
              std::vector<std::string>{"/launcher_client/index.php?a=getaccount&token=abc"});
}

}  // namespace
