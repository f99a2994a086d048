#include "core/log.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <thread>

#include "core/text.h"
#include "core/user_paths.h"
#include "tests/support/temp_dir.h"

namespace {

TEST(Log, NamesTheFileAfterTheStartTimeInTheLogsFolder) {
    TempDir dir;
    useUserFolder(dir);
    const std::filesystem::path path = logPath.get();
    EXPECT_EQ(path.parent_path(), dir.path() / "Documents" / "My Games" / "ORV" / "Logs");
    EXPECT_TRUE(std::filesystem::is_directory(path.parent_path()));
    EXPECT_TRUE(std::regex_match(path.filename().string(),
                                 std::regex(R"(Log_\d{4}-\d\d-\d\d_\d\d-\d\d-\d\d\.log)")));
}

TEST(Log, LogsBelowANonAsciiDocumentsFolder) {
    TempDir dir;
    setUserPaths(dir.file("J\xC3\xBCrgen/Documents"));
    openLog();
    logLine("first line");
    EXPECT_EQ(logMessages(), std::vector<std::string>{"first line"});
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
        names.push_back(pathText(entry.path().filename()));
    EXPECT_EQ(names, std::vector<std::string>{"J\xC3\xBCrgen"});
}

TEST(Log, WritesTimeStampedLinesInCallOrder) {
    TempDir dir;
    useUserFolder(dir);
    logLine("Launcher started - 0.0.2");
    logLine("");
    logLine("two\nlines");
    // Text mode: Windows' CR LF line ends read back as LF.
    const std::string stamp = R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)";
    EXPECT_TRUE(std::regex_match(readTextFile(logPath.get()),
                                 std::regex(stamp + " - Launcher started - 0\\.0\\.2\n" + stamp +
                                            " - \n" + stamp + " - two\nlines\n")));
}

TEST(Log, LinesFromManyThreadsNeverInterleave) {
    TempDir dir;
    useUserFolder(dir);
    constexpr int threads = 8, perThread = 200;
    auto line = [](int t) { return std::to_string(t) + ":" + std::string(100, char('a' + t)); };
    std::vector<std::thread> writers;
    for (int t = 0; t < threads; ++t)
        writers.emplace_back([&, t] {
            for (int i = 0; i < perThread; ++i) logLine(line(t));
        });
    for (auto& writer : writers) writer.join();
    const auto messages = logMessages();
    ASSERT_EQ(messages.size(), static_cast<size_t>(threads * perThread));
    for (const auto& message : messages) EXPECT_EQ(message, line(message[0] - '0'));
}

TEST(Log, LosesLinesSilentlyWhenTheFileCannotBeOpened) {
    TempDir dir;
    writeFile(dir.file("Documents"), "a file where the documents folder should be");
    setUserPaths(dir.file("Documents"));
    openLog();  // the folder cannot be made: no exception, the run goes on unlogged
    logLine("nowhere");
    EXPECT_FALSE(std::filesystem::exists(logPath.get()));
}

}  // namespace
