#include "testdata/make_install.h"

#include <archive.h>
#include <archive_entry.h>
#include <gtest/gtest.h>

#include <map>
#include <memory>

#include "core/ini_document.h"
#include "integrity/checksum.h"
#include "patch/update_from_web.h"
#include "patch/version_file.h"
#include "testdata/game_content.h"
#include "tests/support/temp_dir.h"

namespace fs = std::filesystem;

namespace {

// Entry name -> checksum text of every file entry, read back with libarchive.
std::map<std::string, std::string> archiveChecksums(const fs::path& path) {
    std::unique_ptr<archive, decltype(&archive_read_free)> reader(archive_read_new(),
                                                                  archive_read_free);
    archive_read_support_format_zip(reader.get());
    EXPECT_EQ(archive_read_open_filename(reader.get(), path.string().c_str(), 1 << 16), ARCHIVE_OK);
    std::map<std::string, std::string> entries;
    archive_entry* entry = nullptr;
    while (archive_read_next_header(reader.get(), &entry) == ARCHIVE_OK) {
        std::string content;
        char buffer[65536];
        for (la_ssize_t got; (got = archive_read_data(reader.get(), buffer, sizeof buffer)) > 0;)
            content.append(buffer, static_cast<std::size_t>(got));
        if (archive_entry_filetype(entry) == AE_IFREG)
            entries[archive_entry_pathname(entry)] = contentChecksum(content);
    }
    return entries;
}

std::string checksumOf(const fs::path& path) {
    return formatChecksum(hashFile(path.string()));
}

class MakeInstallTest : public testing::Test {
protected:
    TempDir dir;
    testdata::InstallOptions options{.installDir = dir.path() / "install",
                                     .serverDir = dir.path() / "server",
                                     .seed = 11,
                                     .files = 30,
                                     .sizeMb = 2,
                                     .launcherVersion = "0.0.9"};
    fs::path server(const std::string& relative) const { return options.serverDir / relative; }
};

// The manifests match the archive and the files (written as Windows paths); the installation one
// update behind is the archive's content, archive included; the version file and the scripts
// describe the updates; the same seed gives the same bytes.
TEST_F(MakeInstallTest, ServerFolderAndInstallationAgree) {
    const auto made = testdata::makeInstall(options);
    const auto fullManifest = IniDocument::parsePairs(readFile(server("updates/1.0/hashes.ini")));
    std::map<std::string, std::string> expectedEntries;
    for (const auto& [key, checksum] : fullManifest) {
        EXPECT_EQ(key.find('/'), std::string::npos) << key;
        expectedEntries["Astrovance/" + forwardSlashes(key)] = checksum;
    }
    EXPECT_EQ(archiveChecksums(server("updates/1.0/ORV.zip")), expectedEntries);
    EXPECT_EQ(fullManifest.size(), made.fullFiles.size());
    EXPECT_EQ(fullManifest.size(), static_cast<std::size_t>(options.files) + 1)
        << "the executable too";
    EXPECT_EQ(readFile(server("updates/1.0/full.ini")),
              "full.zip = " + made.archiveChecksum + "\r\n");
    EXPECT_EQ(checksumOf(server("updates/1.0/ORV.zip")), made.archiveChecksum);

    const auto incManifest = IniDocument::parsePairs(readFile(server("updates/1.1/hashes.ini")));
    ASSERT_EQ(incManifest.size(), made.incFiles.size());
    for (const auto& [key, checksum] : incManifest) {
        EXPECT_EQ(checksumOf(server("updates/1.1/" + forwardSlashes(key))), checksum) << key;
        EXPECT_NE(fullManifest.count(key) ? fullManifest.at(key) : "", checksum)
            << key << " did not change";
    }
    for (const auto& file : made.fullFiles)
        EXPECT_EQ(checksumOf(options.installDir / "Astrovance" / file.path), file.checksum)
            << file.path;
    EXPECT_EQ(checksumOf(options.installDir / "ORV.zip"), made.archiveChecksum);

    const auto info = readVersionFile(readFile(server("version.ini")));
    EXPECT_EQ(info.currentVersion + " " + info.launcherVersion, "1.1 0.0.9");
    ASSERT_EQ(info.updates.size(), 2u);
    EXPECT_EQ(info.updates[0].type + " " + info.updates[1].type, "full inc");
    for (const auto& update : info.updates)
        EXPECT_TRUE(fs::exists(server(update.path.substr(1)))) << update.path;
    // Each script deletes a file that 1.0 has and 1.1 no longer has.
    ASSERT_EQ(made.removedFiles.size(), 2u);
    const std::string scripts = readFile(server("updates/1.1/PrePatch.ini")) +
                                readFile(server("updates/1.1/PostPatch.ini"));
    for (const auto& removed : made.removedFiles) {
        EXPECT_NE(scripts.find("DELETE = Astrovance\\" + testdata::backslashed(removed) + "\r\n"),
                  std::string::npos);
        EXPECT_TRUE(fs::exists(options.installDir / "Astrovance" / removed)) << removed;
        for (const auto& file : made.currentFiles) EXPECT_NE(file.path, removed);
    }

    options.serverDir = dir.path() / "again-server";
    options.installDir.clear();
    EXPECT_EQ(testdata::makeInstall(options).archiveChecksum, made.archiveChecksum);
    EXPECT_EQ(readFile(server("updates/1.1/hashes.ini")),
              readFile(dir.path() / "server/updates/1.1/hashes.ini"));
    options.seed = 12;
    EXPECT_NE(testdata::makeInstall(options).archiveChecksum, made.archiveChecksum);
}

// A fresh installation has the launcher alone; the game's files add up to the size asked for; the
// executable carries the patch bytes, as a script that runs or with the "MZ" of a Windows one.
TEST_F(MakeInstallTest, SizesScenariosAndTheExecutableAreAsAsked) {
    for (const bool runnable : {true, false}) {
        options = {.installDir = dir.path() / (runnable ? "runnable" : "mz"),
                   .serverDir = dir.path() / (runnable ? "runnable-server" : "mz-server"),
                   .files = 120,
                   .sizeMb = 3,
                   .scenario = testdata::Scenario::FreshFull,
                   .runnableExe = runnable};
        const auto made = testdata::makeInstall(options);
        std::uint64_t dataBytes = 0;
        for (const auto& file : made.fullFiles)
            if (file.path != testdata::executablePath) dataBytes += file.size;
        EXPECT_EQ(made.fullFiles.size(), 121u);
        EXPECT_NEAR(static_cast<double>(dataBytes), 3.0 * 1024 * 1024, 1024.0);
        EXPECT_EQ(made.installedVersion, "");
        EXPECT_EQ(filesBelow(options.installDir), std::vector<std::string>{"Launcher.exe"});

        const std::string bytes = readFile(server("updates/1.1/EXE/Astrovance.exe"));
        ASSERT_EQ(bytes.size(), testdata::executableSize);
        EXPECT_EQ(bytes.substr(testdata::firstPatchOffset, 1), "\x0F");
        EXPECT_EQ(bytes.substr(testdata::secondPatchOffset, 6), "\x83\xFF\x01\x0F\x94\xC2");
        EXPECT_EQ(bytes.substr(0, 2), runnable ? "#!" : "MZ");
    }
    EXPECT_LT(testdata::standInScript.size(), testdata::firstPatchOffset)
        << "the script ends before the patch";
}

}  // namespace
