// Fetches into memory and downloads onto the disk against the test server's answers and faults.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "net/download.h"
#include "net/fetch.h"
#include "net/retry_pause.h"
#include "tests/support/http_server.h"
#include "tests/support/temp_dir.h"

namespace fs = std::filesystem;
using std::chrono::milliseconds;

namespace {

const std::string content = "fresh content of the file\n", contentSum = "eddfe2f4";
const std::string big(50000, 'x'), bigSum = "b5ee1fda";
const std::string failed = "Failed to download file. CURL error: ",
                  partial = failed + "Transferred a partial file, HTTP code: ",
                  saved = "Download complete and file saved.",
                  resumed = "Resuming download at byte ",
                  mismatch = "Local file hash mismatch. Deleting file to download fresh copy.",
                  refused = "Download refused: checksum 24997ab5 instead of " + contentSum +
                            " for {file}";
constexpr std::nullopt_t fetch = std::nullopt;

std::vector<std::string> times(int count, const std::string& line) {
    return std::vector<std::string>(static_cast<std::size_t>(count), line);
}

// A row: a fetch, or a download of "/file" with the checksum given;
// the answers; what is fetched or on disk after; the log after "Patched: {file}" ({url}, {file}:
// the URL, the local path); the Range headers asked; the local copy and partial file before.
struct Row {
    const char* name;
    std::optional<std::string> checksum;
    std::vector<HttpAnswer> answers;
    std::string result;
    std::vector<std::string> log, ranges;
    std::optional<std::string> before = std::nullopt, staged = std::nullopt;
    int outageMs = 0;  // 503 for so long, with pauses between attempts of 20 ms and growing
};

// clang-format off
const Row rows[] = {
    {"fetchServerErrorThreeTimes", fetch, {answer(500, "broken")}, "",
     times(3, "HTTP Error: 500 {url}"), times(3, "")},
    // Regression: an answer without end grew the body until memory ran out.
    {"fetchEndlessBodyFailsInsteadOfTakingAllMemory", fetch, {answer(200, {}, Delivery::Endless)},
     "", times(3, "curl_easy_perform() failed: Failed writing received data to disk/application"),
     times(3, "")},

    {"matchingCopyNotFetched", "352441c2", {answer(200, content)}, "abc",
     {"Local file is up to date. No need to download."}, {}, "abc"},
    {"differingCopyReplaced", contentSum, {answer(200, content)}, content, {mismatch, saved},
     {""}, "abc"},
    {"serverErrorThenOk", "", {answer(500, "broken"), answer(200, content)}, content,
     {failed + "No error, HTTP code: 500", saved}, {"", ""}},
    // Regression: bytes that do not match the checksum never reach the file.
    {"wrongBytesRefusedThenRight", contentSum, {answer(200, "tampered"), answer(200, content)},
     content, {mismatch, refused, saved}, {"", ""}, "old"},
    // Regression: cut at 60 % and at 80 %, each attempt goes on where the last one stopped, never
    // from byte 0 again; the checksum proves the joins.
    {"cutTwiceResumedTwice", bigSum,
     {cutAfter(big, 30000), cutAfter(big, 40000), answer(200, big)}, big,
     {partial + "200", resumed + "30000", partial + "206", resumed + "40000", saved},
     {"", "bytes=30000-", "bytes=40000-"}},
    {"rangeIgnoredStartsOver", bigSum,
     {cutAfter(big, 30000), {200, big, Delivery::Whole, {}, std::string::npos, true}}, big,
     {partial + "200", resumed + "30000", saved}, {"", "bytes=30000-"}},
    // A part that does not continue ours, or a refused range, would corrupt the join or be asked
    // for again and again: the next attempt starts over.
    {"wrongPartStartsOver", bigSum,
     {cutAfter(big, 30000),
      {206, "yyyy", Delivery::Whole, {{"Content-Range", "bytes 7-10/50000"}}, 0, true},
      answer(200, big)},
     big,
     {partial + "200", resumed + "30000",
      failed + "Failed writing received data to disk/application, HTTP code: 206", saved},
     {"", "bytes=30000-", ""}},
    {"refusedRangeStartsOver", bigSum, {cutAfter(big, 30000), answer(416), answer(200, big)}, big,
     {partial + "200", resumed + "30000", failed + "No error, HTTP code: 416", saved},
     {"", "bytes=30000-", ""}},
    // Without a checksum nothing could prove a join: every attempt starts from the beginning, and
    // what an earlier launcher left is not taken up.
    {"uncheckedFileNotResumed", "", {cutAfter(big, 30000), answer(200, big)}, big,
     {partial + "200", saved}, {"", ""}},
    {"uncheckedLeftOverDropped", "", {answer(200, big)}, big, {saved}, {""}, fetch,
     big.substr(0, 20000)},
    // What a launcher that was ended midway received is taken up by the next one.
    {"leftOverPartResumed", bigSum, {answer(200, big)}, big,
     {mismatch, resumed + "20000", saved}, {"bytes=20000-"}, "old", big.substr(0, 20000)},
    // Regression: growing pauses outlast a 503 outage that ten attempts in a row would not: 20,
    // 40, 80, 160 ms after the first four failures, the sixth attempt comes after the outage.
    {"outageOutlasted", contentSum, {answer(200, content)}, content,
     {mismatch, failed + "No error, HTTP code: 503", failed + "No error, HTTP code: 503",
      failed + "No error, HTTP code: 503", failed + "No error, HTTP code: 503",
      failed + "No error, HTTP code: 503", saved},
     times(6, ""), "old", fetch, 400},
};
// clang-format on

class Transfer : public testing::TestWithParam<Row> {
protected:
    void SetUp() override { useUserFolder(folder); }
    void TearDown() override { setRetryPauseUnit(milliseconds(1)); }

    TempDir folder;
    HttpServer server;
};

TEST_P(Transfer, AnswersResultLogAndRanges) {
    const Row& row = GetParam();
    server.script("/file", row.answers);
    if (row.outageMs > 0) server.failFor("/file", milliseconds(row.outageMs), 503);
    setRetryPauseUnit(milliseconds(row.outageMs > 0 ? 20 : 1));
    const std::string url = server.url("/file"), local = folder.file("Astrovance/Data/file.bin");
    if (row.before) writeFile(local, *row.before);
    if (row.staged) writeFile(local + ".orv-partial", *row.staged);
    std::vector<std::string> log;
    if (row.checksum) {
        EXPECT_TRUE(downloadFile(url, local, "Data/file.bin", *row.checksum, false));
        EXPECT_EQ(readFile(local), row.result);
        // The folders are made; nothing of the transfer is left beside the file.
        EXPECT_EQ(filesBelow(folder.path() / "Astrovance"),
                  std::vector<std::string>{"Data/file.bin"});
        log.push_back("Patched: {file}");
    } else {
        EXPECT_EQ(fetchUrl(url), row.result);
    }
    log.insert(log.end(), row.log.begin(), row.log.end());
    for (std::string& line : log) {
        if (line.ends_with("{url}")) line = line.substr(0, line.size() - 5) + url;
        if (line.ends_with("{file}")) line = line.substr(0, line.size() - 6) + local;
    }
    EXPECT_EQ(logMessages(), log);
    EXPECT_EQ(server.rangesAsked("/file"), row.ranges);
}

INSTANTIATE_TEST_SUITE_P(Rows, Transfer, testing::ValuesIn(rows),
                         [](const auto& info) { return std::string(info.param.name); });

// Regression: a server that keeps sending the wrong bytes fails ten times, which tells the player
// and ends the process; the installed file is never touched.
TEST_F(Transfer, TenFailuresTellTheUserAndEndTheProcess) {
    const std::string target = folder.file("file.bin");
    writeFile(target, "the good old file");
    server.script("/file", {answer(200, "tampered")});
    EXPECT_EXIT(downloadFile(server.url("/file"), target, "file.bin", contentSum, false),
                testing::ExitedWithCode(0),
                "Download Failed: Connection lost!\\. Please check your internet connection and "
                "restart the launcher\\.");
#ifdef _WIN32
    GTEST_SKIP() << "only the exit status and message are checked on Windows: the death test's "
                    "child is a new process with its own test folder and server";
#endif
    std::vector<std::string> expected{"Patched: " + target, mismatch};
    expected.insert(
        expected.end(), 10,
        "Download refused: checksum 24997ab5 instead of " + contentSum + " for " + target);
    EXPECT_EQ(logMessages(), expected);
    EXPECT_EQ(server.requests("/file"), 10);
    EXPECT_EQ(readFile(target), "the good old file");
    EXPECT_FALSE(fs::exists(target + ".orv-partial")) << "refused bytes are not kept";
}

}  // namespace
