#include "testdata/make_install.h"

#include <archive.h>
#include <archive_entry.h>
#include <gtest/gtest.h>

#include <map>
#include <memory>

#include "core/ini_document.h"
#include "integrity/checksum.h"
#include "patch/update_from_web.h"
#include "tests/support/temp_dir.h"

namespace fs = std::filesystem;

namespace {

// The generated server folder agrees with itself: the full manifest names the archive's entries,
// the update's manifest its files, the archive checksum the archive; the same seed gives the
// same bytes. The patch runs over it are in patch_end_to_end_tests.
TEST(MakeInstall, ServerFolderAgreesWithItselfAndTheSeedFixesIt) {
    TempDir dir;
    testdata::InstallOptions options{.installDir = dir.path() / "install",
                                     .serverDir = dir.path() / "server",
                                     .seed = 11,
                                     .files = 30,
                                     .sizeMb = 2};
    const auto made = testdata::makeInstall(options);
    const fs::path updates = options.serverDir / "updates";
    std::map<std::string, std::string> expected, entries;
    for (const auto& [key, checksum] : IniDocument::parsePairs(readFile(updates / "1.0/hashes.ini")))
        expected["Astrovance/" + forwardSlashes(key)] = checksum;
    std::unique_ptr<archive, decltype(&archive_read_free)> reader(archive_read_new(),
                                                                  archive_read_free);
    archive_read_support_format_zip(reader.get());
    ASSERT_EQ(archive_read_open_filename(reader.get(), (updates / "1.0/ORV.zip").string().c_str(),
                                         1 << 16),
              ARCHIVE_OK);
    for (archive_entry* entry; archive_read_next_header(reader.get(), &entry) == ARCHIVE_OK;) {
        std::string content(static_cast<std::size_t>(archive_entry_size(entry)), '\0');
        archive_read_data(reader.get(), content.data(), content.size());
        if (archive_entry_filetype(entry) == AE_IFREG)
            entries[archive_entry_pathname(entry)] = contentChecksum(content);
    }
    EXPECT_EQ(entries, expected);
    EXPECT_EQ(formatChecksum(hashFile((updates / "1.0/ORV.zip").string())), made.archiveChecksum);
    for (const auto& [key, checksum] : IniDocument::parsePairs(readFile(updates / "1.1/hashes.ini")))
        EXPECT_EQ(contentChecksum(readFile(updates / "1.1" / forwardSlashes(key))), checksum) << key;

    options.serverDir = dir.path() / "again";
    options.installDir.clear();
    EXPECT_EQ(testdata::makeInstall(options).archiveChecksum, made.archiveChecksum);
    options.seed = 12;
    EXPECT_NE(testdata::makeInstall(options).archiveChecksum, made.archiveChecksum);
}

}  // namespace
