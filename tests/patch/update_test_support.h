// A stand-in installation for the update tests: a temporary installation root that is the working
// folder while the test runs, a download server with a folder of its own, and ZIP archives made
// with libarchive's write side.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "integrity/scan.h"
#include "tests/support/http_server.h"
#include "tests/support/temp_dir.h"

struct ZipEntry {
    std::string name;
    std::string content;
    std::string linkTarget;  // not empty: a symbolic link to this target
};

// Writes a ZIP archive of the entries in the given order.
void writeZip(const std::filesystem::path& path, const std::vector<ZipEntry>& entries);

// The entry names of a ZIP archive, in archive order.
std::vector<std::string> zipEntryNames(const std::filesystem::path& path);

// The checksum text of the bytes, as the server's manifests carry it.
std::string checksumText(const std::string& content);

// Every file and link below `folder`, relative to it with "/" separators, sorted.
std::vector<std::string> filesBelow(const std::filesystem::path& folder);

bool hasLine(const std::vector<std::string>& lines, const std::string& line);
// The lines that start with `prefix`, in log order.
std::vector<std::string> linesStarting(const std::vector<std::string>& lines,
                                       const std::string& prefix);

class UpdateTest : public testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Scans the installation as the patch run does before each update.
    void scan();
    // Places a file on the server below the update folder "/u".
    void serve(const std::string& relative, const std::string& content);
    // Places a file in the installation's game folder.
    void install(const std::string& relative, const std::string& content);
    std::filesystem::path gameFile(const std::string& relative) const;
    // The update folder's URL + "/" + name.
    std::string updateUrl(const std::string& name) const;
    // Requests for files of the update folder other than `except`.
    int fileRequests(const std::vector<std::string>& except) const;

    TempDir dir;
    // Two levels down, so that "../.." from the game folder still lies inside the test's folder.
    std::filesystem::path root = dir.path() / "outer" / "install";
    std::filesystem::path serverFolder = dir.path() / "server";
    HttpServer server;

private:
    std::filesystem::path previousFolder;
};
