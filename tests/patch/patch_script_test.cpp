#include "patch/patch_script.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <sstream>
#include <thread>

#include "tests/patch/patch_fixture.h"

namespace fs = std::filesystem;

namespace {

class PatchScriptTest : public PatchTest {
protected:
    WorkingFolder inRoot{root};
    const std::string updateUrl = server.url("/updates/1.1/hashes.ini");

    // The joined path as the log shows it.
    std::string joined(const std::string& relative) const {
        return (fs::current_path() / fs::path(relative).make_preferred()).string();
    }
};

TEST_F(PatchScriptTest, DeletesWithCrLfLinesAndTextBeforeTheKeyword) {
    writeFile(root / "Astrovance/Data/old table.dat", "old");
    writeFile(root / "Astrovance/Data/second.dat", "old");
    writeFile(root / "Astrovance/Data/kept.dat", "kept");
    writeFile(root / "Astrovance/Data/lower.dat", "kept");
    server.script("/updates/1.1/PrePatch.ini",
                  {answer(200,
                          "; remove what 1.1 no longer has\r\n"
                          ";DELETE = Astrovance\\Data\\old table.dat\r\n"
                          "  DELETE =   Astrovance/Data/second.dat  \r\n"
                          "DELETE= Astrovance\\Data\\kept.dat\r\n"
                          "delete = Astrovance\\Data\\lower.dat\r\n")});

    runPatchScript(true, updateUrl);

    EXPECT_FALSE(fs::exists(root / "Astrovance/Data/old table.dat"));
    EXPECT_FALSE(fs::exists(root / "Astrovance/Data/second.dat"));
    EXPECT_TRUE(fs::exists(root / "Astrovance/Data/kept.dat")) << "keyword needs its blank";
    EXPECT_TRUE(fs::exists(root / "Astrovance/Data/lower.dat")) << "keywords are case-sensitive";
    EXPECT_TRUE(logged("Error deleting the file:").empty());
    EXPECT_EQ(server.requests("/updates/1.1/PrePatch.ini"), 1);
    EXPECT_EQ(server.requests("/updates/1.1/PostPatch.ini"), 0);
}

TEST_F(PatchScriptTest, DeletingAgainLogsTheJoinedPath) {
    writeFile(root / "Astrovance/EXE/stale.dll", "x");
    server.script("/updates/1.1/PostPatch.ini",
                  {answer(200, "DELETE = Astrovance\\EXE\\stale.dll\nDELETE = Astrovance\\EXE\n")});

    runPatchScript(false, updateUrl);
    EXPECT_FALSE(fs::exists(root / "Astrovance/EXE/stale.dll"));
    EXPECT_EQ(logged("Error deleting the file:"),
              std::vector<std::string>{"Error deleting the file:" + joined("Astrovance/EXE")})
        << "a folder is not deleted";

    runPatchScript(false, updateUrl);
    EXPECT_EQ(
        logged("Error deleting the file:"),
        (std::vector<std::string>{"Error deleting the file:" + joined("Astrovance/EXE"),
                                  "Error deleting the file:" + joined("Astrovance/EXE/stale.dll"),
                                  "Error deleting the file:" + joined("Astrovance/EXE")}));
    EXPECT_TRUE(fs::is_directory(root / "Astrovance/EXE"));
    EXPECT_EQ(server.requests("/updates/1.1/PostPatch.ini"), 2) << "fetched anew every time";
}

TEST_F(PatchScriptTest, AbsolutePathStandsForItself) {
    const fs::path outside = dir.path() / "outside.txt";
    writeFile(outside, "x");
    server.script("/updates/1.1/PrePatch.ini",
                  {answer(200, "DELETE = " + outside.string() + "\n")});
    runPatchScript(true, updateUrl);
    EXPECT_FALSE(fs::exists(outside));
}

TEST_F(PatchScriptTest, MissingScriptDoesNothing) {
    writeFile(root / "Astrovance/Data/kept.dat", "kept");
    server.script("/updates/1.1/PrePatch.ini", {answer(404)});
    runPatchScript(true, updateUrl);
    EXPECT_TRUE(fs::exists(root / "Astrovance/Data/kept.dat"));
    EXPECT_TRUE(logged("Error deleting the file:").empty());
    EXPECT_EQ(server.requests("/updates/1.1/PrePatch.ini"), 3) << "the fetch's own retries";
}

TEST_F(PatchScriptTest, UrlWithoutFolderAsksForTheScriptAtTheTop) {
    writeFile(root / "gone.txt", "x");
    server.script("/PrePatch.ini", {answer(200, "DELETE = gone.txt\n")});
    runPatchScript(true, server.url("/hashes.ini"));
    EXPECT_FALSE(fs::exists(root / "gone.txt"));
}

#ifndef _WIN32
// RUN opens with the desktop's handler; a fake xdg-open first on PATH notes what it was given.
class RunCommandTest : public PatchScriptTest {
protected:
    fs::path bin = dir.path() / "bin";
    fs::path opened = dir.path() / "opened.txt";
    std::string savedPath = std::getenv("PATH") ? std::getenv("PATH") : "";

    RunCommandTest() {
        writeFile(bin / "xdg-open",
                  "#!/bin/sh\nprintf '%s\\n' \"$1\" >> '" + opened.string() + "'\n");
        fs::permissions(bin / "xdg-open", fs::perms::owner_all);
        setenv("PATH", (bin.string() + ":" + savedPath).c_str(), 1);
    }
    ~RunCommandTest() override { setenv("PATH", savedPath.c_str(), 1); }

    // The lines the fake has written once it has written `count` of them (it runs detached).
    std::vector<std::string> openedLines(std::size_t count) const {
        std::vector<std::string> lines;
        for (int wait = 0; wait < 500; ++wait) {
            lines.clear();
            std::istringstream in(readFile(opened));
            for (std::string line; std::getline(in, line);) lines.push_back(line);
            if (lines.size() >= count) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return lines;
    }
};

TEST_F(RunCommandTest, OpensTheJoinedPathAndDeleteWinsOnTheSameLine) {
    writeFile(root / "Astrovance/readme first.txt", "x");
    server.script("/updates/1.1/PostPatch.ini",
                  {answer(200,
                          "RUN = Astrovance\\readme first.txt\r\n"
                          "# RUN = \r\n"
                          "DELETE = Astrovance\\readme first.txt RUN = ignored\r\n")});
    runPatchScript(false, updateUrl);

    // Both openers run detached, so their order is not fixed. RUN with nothing opens the root.
    EXPECT_THAT(openedLines(2), testing::UnorderedElementsAre(joined("Astrovance/readme first.txt"),
                                                              fs::current_path().string() + "/"));
    // The third line is a delete of "readme first.txt RUN = ignored", which does not exist.
    EXPECT_TRUE(fs::exists(root / "Astrovance/readme first.txt"));
    EXPECT_EQ(logged("Error deleting the file:"),
              std::vector<std::string>{"Error deleting the file:" +
                                       joined("Astrovance/readme first.txt RUN = ignored")});
}
#endif

}  // namespace
