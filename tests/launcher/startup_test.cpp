#include "launcher/startup.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "core/log.h"
#include "tests/support/temp_dir.h"

namespace {

TEST(CommandLine, SplitsAtAnyRunOfWhiteSpaceAndOnlyTheExactWordSelectsHashing) {
    EXPECT_EQ(splitCommandWords(""), std::vector<std::string>{});
    EXPECT_EQ(splitCommandWords(" \t "), std::vector<std::string>{});
    EXPECT_EQ(splitCommandWords("  a\t-h \n b "), (std::vector<std::string>{"a", "-h", "b"}));
    EXPECT_TRUE(hasHashFlag(splitCommandWords("-h")));
    EXPECT_TRUE(hasHashFlag(splitCommandWords("first -h")));
    for (const char* line : {"", "-H", "/h", "--h", "-hh", "-help", "x-h", "\"-h\""})
        EXPECT_FALSE(hasHashFlag(splitCommandWords(line))) << line;
}

#ifndef _WIN32
// Without any documents folder the launcher ends at once with status 0 and writes nothing.
TEST(Startup, WithoutDocumentsFolderEndsQuietlyWithStatusZero) {
    TempDir dir;
    const WorkingFolder inDir(dir.path());
    const std::string home = std::getenv("HOME") ? std::getenv("HOME") : "";
    unsetenv("HOME");
    unsetenv("XDG_DOCUMENTS_DIR");
    logPath.set("");  // an earlier case may have opened one
    const bool goesOn = startLauncher("");
    if (!home.empty()) setenv("HOME", home.c_str(), 1);
    EXPECT_FALSE(goesOn);
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
    EXPECT_EQ(logPath.get(), "") << "no log was opened";
}
#endif

}  // namespace
