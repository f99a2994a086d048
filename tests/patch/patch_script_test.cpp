#include "patch/patch_script.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <sstream>
#include <thread>

#include "tests/patch/patch_fixture.h"

namespace {

class PatchScriptTest : public PatchTest {
protected:
    const std::string updateUrl = server.url("/updates/1.1/hashes.ini");

    // The joined path as the log shows it.
    static std::string joined(const std::string& relative) {
        return (fs::current_path() / fs::path(relative).make_preferred()).string();
    }
};

TEST_F(PatchScriptTest, DeleteLinesAreReadLooselyAndWhatCannotBeDeletedIsLogged) {
    for (const char* name : {"old table.dat", "second.dat", "kept.dat", "lower.dat"})
        writeFile(root / "Astrovance/Data" / name, "x");
    const fs::path outside = dir.path() / "outside.txt";  // an absolute path stands for itself
    writeFile(outside, "x");
    server.script("/updates/1.1/PrePatch.ini",
                  {answer(200,
                          "; remove what 1.1 no longer has\r\n"
                          ";DELETE = Astrovance\\Data\\old table.dat\r\n"
                          "  DELETE =   Astrovance/Data/second.dat  \r\n"
                          "DELETE= Astrovance\\Data\\kept.dat\r\n"
                          "delete = Astrovance\\Data\\lower.dat\r\n"
                          "DELETE = " + outside.string() + "\r\n")});

    runPatchScript(true, updateUrl);

    EXPECT_FALSE(fs::exists(root / "Astrovance/Data/old table.dat"));
    EXPECT_FALSE(fs::exists(root / "Astrovance/Data/second.dat"));
    EXPECT_FALSE(fs::exists(outside));
    EXPECT_TRUE(fs::exists(root / "Astrovance/Data/kept.dat")) << "keyword needs its blank";
    EXPECT_TRUE(fs::exists(root / "Astrovance/Data/lower.dat")) << "keywords are case-sensitive";
    EXPECT_EQ(server.requests("/updates/1.1/PrePatch.ini"), 1);

    // A script missing at the server's top does nothing.
    server.script("/PrePatch.ini", {answer(404)});
    runPatchScript(true, server.url("/hashes.ini"));
    EXPECT_EQ(server.requests("/PrePatch.ini"), 3) << "the fetch's own retries";
    EXPECT_TRUE(fs::exists(root / "Astrovance/Data/kept.dat"));
    EXPECT_TRUE(logged("Error deleting the file:").empty());

    // What cannot be deleted is logged with its joined path.
    writeFile(root / "Astrovance/EXE/stale.dll", "x");
    server.script("/updates/1.1/PostPatch.ini",
                  {answer(200, "DELETE = Astrovance\\EXE\\stale.dll\nDELETE = Astrovance\\EXE\n")});
    const std::string folderFailed = "Error deleting the file:" + joined("Astrovance/EXE");

    runPatchScript(false, updateUrl);
    EXPECT_FALSE(fs::exists(root / "Astrovance/EXE/stale.dll"));
    EXPECT_EQ(logged("Error deleting the file:"), std::vector<std::string>{folderFailed})
        << "a folder is not deleted";

    runPatchScript(false, updateUrl);
    EXPECT_EQ(logged("Error deleting the file:"),
              (std::vector<std::string>{
                  folderFailed, "Error deleting the file:" + joined("Astrovance/EXE/stale.dll"),
                  folderFailed}));
    EXPECT_TRUE(fs::is_directory(root / "Astrovance/EXE"));
    EXPECT_EQ(server.requests("/updates/1.1/PostPatch.ini"), 2) << "fetched anew every time";
}

#ifndef _WIN32
// RUN opens with the desktop's handler; a fake xdg-open first on PATH notes what it was given.
class RunCommandTest : public PatchScriptTest {
protected:
    fs::path opened = dir.path() / "opened.txt";
    std::string savedPath = std::getenv("PATH") ? std::getenv("PATH") : "";

    RunCommandTest() {
        const fs::path bin = dir.path() / "bin";
        writeFile(bin / "xdg-open",
                  "#!/bin/sh\nprintf '%s\\n' \"$1\" >> '" + opened.string() + "'\n");
        fs::permissions(bin / "xdg-open", fs::perms::owner_all);
        setenv("PATH", (bin.string() + ":" + savedPath).c_str(), 1);
    }
    ~RunCommandTest() override { setenv("PATH", savedPath.c_str(), 1); }

    // The lines the fake has written once it has written `count` of them (it runs detached).
    std::vector<std::string> openedLines(std::size_t count) const {
        std::vector<std::string> lines;
        for (int wait = 0; wait < 500 && lines.size() < count; ++wait) {
            if (wait > 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
            lines.clear();
            std::istringstream in(readFile(opened));
            for (std::string line; std::getline(in, line);) lines.push_back(line);
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
    // The third line deletes "readme first.txt RUN = ignored", which does not exist.
    EXPECT_TRUE(fs::exists(root / "Astrovance/readme first.txt"));
    EXPECT_EQ(logged("Error deleting the file:"),
              std::vector<std::string>{"Error deleting the file:" +
                                       joined("Astrovance/readme first.txt RUN = ignored")});
}
#endif

}  // namespace
