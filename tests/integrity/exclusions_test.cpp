#include "integrity/exclusions.h"

#include <gtest/gtest.h>

#include "platform/platform.h"

namespace {

// "./a/b" with the platform's separator.
std::string path(std::initializer_list<const char*> elements) {
    std::string text = ".";
    for (const char* element : elements) text += platform::pathSeparator + std::string(element);
    return text;
}

TEST(Exclusions, EveryListedNameIsExcludedAnywhereInThePath) {
    for (const char* name :
         {"hashes.ini", "report.log", "libcurl.dll", "archive.dll", "zlib1.dll", "ORV.zip",
          "lz4.dll", "liblzma.dll", "zstd.dll", "libcrypto-3.dll", "bz2.dll", "WebView2Loader.dll",
          "Launcher.exe", "Launcher.exe.WebView2", "packages", ".svn", "Release", ".vs"}) {
        EXPECT_TRUE(isExcluded(path({name}))) << name;
        EXPECT_TRUE(isExcluded(path({"Astrovance", "EXE", name}))) << name;
        // ... and, as a folder, everything below it.
        EXPECT_TRUE(isExcluded(path({"tools", name, "sub", "x.dat"}))) << name;
    }
}

TEST(Exclusions, OnlyWholeNamesInTheirExactCaseMatch) {
    EXPECT_FALSE(isExcluded(path({"Hashes.ini"})));
    EXPECT_FALSE(isExcluded(path({"release", "game.dat"})));
    EXPECT_FALSE(isExcluded(path({"RELEASE"})));
    EXPECT_FALSE(isExcluded(path({"ReleaseNotes.txt"})));
    EXPECT_FALSE(isExcluded(path({"old.hashes.ini"})));
    EXPECT_FALSE(isExcluded(path({"Launcher.exe.bak"})));
    EXPECT_FALSE(isExcluded(path({"x.svn"})));
    EXPECT_FALSE(isExcluded(path({"Astrovance", "EXE", "Astrovance.exe"})));
    EXPECT_FALSE(isExcluded(""));
    EXPECT_FALSE(isExcluded(path({})));
}

TEST(Exclusions, ForwardSlashesSeparateToo) {
    // Server manifests may use '/' on every system.
    EXPECT_TRUE(isExcluded("Data/Release/x.bin"));
    EXPECT_FALSE(isExcluded("Data/Releases/x.bin"));
}

}  // namespace
