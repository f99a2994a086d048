#include "testdata/make_install.h"

#include <archive.h>
#include <archive_entry.h>
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdlib>
#include <map>
#include <memory>

#include "core/ini_document.h"
#include "integrity/checksum.h"
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
        if (archive_entry_filetype(entry) != AE_IFREG) continue;
        uLong crc = crc32(0, nullptr, 0);
        char buffer[65536];
        for (la_ssize_t got; (got = archive_read_data(reader.get(), buffer, sizeof buffer)) > 0;)
            crc = crc32(crc, reinterpret_cast<const Bytef*>(buffer), static_cast<uInt>(got));
        entries[archive_entry_pathname(entry)] = formatChecksum(static_cast<std::uint32_t>(crc));
    }
    return entries;
}

std::string checksumOf(const fs::path& path) {
    return formatChecksum(hashFile(path.string()));
}

std::string forwardSlashes(std::string key) {
    std::replace(key.begin(), key.end(), '\\', '/');
    return key;
}

class MakeInstallTest : public testing::Test {
protected:
    TempDir dir;
    testdata::InstallOptions options;

    MakeInstallTest() {
        options.installDir = dir.path() / "install";
        options.serverDir = dir.path() / "server";
        options.seed = 11;
        options.files = 30;
        options.sizeMb = 2;
    }
    fs::path server(const std::string& relative) const { return options.serverDir / relative; }
};

TEST_F(MakeInstallTest, ManifestsMatchTheArchiveAndTheFiles) {
    const auto made = testdata::makeInstall(options);

    const auto fullManifest = IniDocument::parsePairs(readFile(server("updates/1.0/hashes.ini")));
    std::map<std::string, std::string> expectedEntries;
    for (const auto& [key, checksum] : fullManifest) {
        EXPECT_EQ(key.find('/'), std::string::npos) << "the server writes Windows paths: " << key;
        expectedEntries["Astrovance/" + forwardSlashes(key)] = checksum;
    }
    EXPECT_EQ(archiveChecksums(server("updates/1.0/ORV.zip")), expectedEntries);
    EXPECT_EQ(fullManifest.size(), made.fullFiles.size());
    EXPECT_EQ(fullManifest.size(), static_cast<std::size_t>(options.files) + 1)
        << "the executable too";

    const auto fullInfo = IniDocument::parsePairs(readFile(server("updates/1.0/full.ini")));
    EXPECT_EQ(fullInfo.at("full.zip"), checksumOf(server("updates/1.0/ORV.zip")));
    EXPECT_EQ(made.archiveChecksum, fullInfo.at("full.zip"));

    const auto incManifest = IniDocument::parsePairs(readFile(server("updates/1.1/hashes.ini")));
    ASSERT_EQ(incManifest.size(), made.incFiles.size());
    for (const auto& [key, checksum] : incManifest) {
        const fs::path file = server("updates/1.1/" + forwardSlashes(key));
        EXPECT_EQ(checksumOf(file), checksum) << key;
        const auto old = fullManifest.find(key);
        if (old != fullManifest.end()) {
            EXPECT_NE(old->second, checksum) << key << " did not change";
        }
    }

    // The installation one update behind is the archive's content, archive included.
    for (const auto& file : made.fullFiles)
        EXPECT_EQ(checksumOf(options.installDir / "Astrovance" / file.path), file.checksum)
            << file.path;
    EXPECT_EQ(checksumOf(options.installDir / "ORV.zip"), made.archiveChecksum);
}

TEST_F(MakeInstallTest, VersionFileAndScriptsDescribeTheUpdates) {
    options.launcherVersion = "0.0.9";
    const auto made = testdata::makeInstall(options);

    const auto info = readVersionFile(readFile(server("version.ini")));
    EXPECT_EQ(info.currentVersion, "1.1");
    EXPECT_EQ(info.launcherVersion, "0.0.9");
    ASSERT_EQ(info.updates.size(), 2u);
    EXPECT_EQ(info.updates[0].type, "full");
    EXPECT_TRUE(fs::exists(server(info.updates[0].path.substr(1))));
    EXPECT_EQ(info.updates[1].type, "inc");
    EXPECT_TRUE(fs::exists(server(info.updates[1].path.substr(1))));

    // Each script deletes a file that 1.0 has and 1.1 no longer has.
    ASSERT_EQ(made.removedFiles.size(), 2u);
    const std::string scripts = readFile(server("updates/1.1/PrePatch.ini")) +
                                readFile(server("updates/1.1/PostPatch.ini"));
    for (const auto& removed : made.removedFiles) {
        EXPECT_NE(scripts.find("DELETE = Astrovance\\" + testdata::backslashed(removed) + "\r\n"),
                  std::string::npos)
            << removed;
        EXPECT_TRUE(fs::exists(options.installDir / "Astrovance" / removed)) << removed;
        for (const auto& file : made.currentFiles) EXPECT_NE(file.path, removed);
    }
}

TEST_F(MakeInstallTest, ExecutableCarriesThePatchBytesInEveryForm) {
    for (const bool runnable : {true, false}) {
        options.runnableExe = runnable;
        options.installDir = dir.path() / (runnable ? "runnable" : "mz");
        options.serverDir = dir.path() / (runnable ? "runnable-server" : "mz-server");
        testdata::makeInstall(options);
        for (const fs::path& exe : {options.installDir / "Astrovance/EXE/Astrovance.exe",
                                    options.serverDir / "updates/1.1/EXE/Astrovance.exe"}) {
            const std::string bytes = readFile(exe);
            ASSERT_EQ(bytes.size(), testdata::executableSize) << exe;
            EXPECT_EQ(bytes.substr(testdata::firstPatchOffset, 1), "\x0F") << exe;
            EXPECT_EQ(bytes.substr(testdata::secondPatchOffset, 6), "\x83\xFF\x01\x0F\x94\xC2")
                << exe;
            EXPECT_EQ(bytes.substr(0, 2), runnable ? "#!" : "MZ") << exe;
        }
    }
    EXPECT_LT(testdata::standInScript.size(), testdata::firstPatchOffset)
        << "the script must end before the first patch byte";
}

#ifndef _WIN32
TEST_F(MakeInstallTest, RunnableExecutableNotesHowItWasStarted) {
    testdata::makeInstall(options);
    const std::string command =
        "cd '" + options.installDir.string() + "' && ./Astrovance/EXE/Astrovance.exe -w -I10.0.0.1";
    ASSERT_EQ(std::system(command.c_str()), 0);
    EXPECT_EQ(readFile(options.installDir / "Astrovance/EXE/Astrovance.log"),
              "cwd: " + options.installDir.string() + "\nargs: -w -I10.0.0.1\n");
}
#endif

TEST_F(MakeInstallTest, SameSeedGivesTheSameBytes) {
    const auto first = testdata::makeInstall(options);
    const std::string incManifest = readFile(server("updates/1.1/hashes.ini"));

    options.installDir = dir.path() / "again";
    options.serverDir = dir.path() / "again-server";
    const auto second = testdata::makeInstall(options);
    EXPECT_EQ(second.archiveChecksum, first.archiveChecksum);
    EXPECT_EQ(readFile(server("updates/1.1/hashes.ini")), incManifest);

    options.seed = 12;
    options.serverDir = dir.path() / "other-server";
    options.installDir.clear();
    const auto other = testdata::makeInstall(options);
    EXPECT_NE(other.archiveChecksum, first.archiveChecksum);
}

TEST_F(MakeInstallTest, SizesAndScenariosAreAsAsked) {
    options.files = 120;
    options.sizeMb = 3;
    options.scenario = testdata::Scenario::FreshFull;
    const auto made = testdata::makeInstall(options);

    std::uint64_t dataBytes = 0;
    for (const auto& file : made.fullFiles)
        if (file.path != testdata::executablePath) dataBytes += file.size;
    EXPECT_EQ(made.fullFiles.size(), 121u);
    EXPECT_NEAR(static_cast<double>(dataBytes), 3.0 * 1024 * 1024, 1024.0);

    EXPECT_EQ(made.installedVersion, "");
    EXPECT_FALSE(fs::exists(options.installDir / "Astrovance"));
    EXPECT_FALSE(fs::exists(options.installDir / "ORV.zip"));
    EXPECT_TRUE(fs::exists(options.installDir / "Launcher.exe"));
}

}  // namespace
