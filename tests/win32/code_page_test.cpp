// The manifest makes UTF-8 the process's narrow code page, so a user folder below any user name
// is reachable through the launcher's narrow paths.
#include <gtest/gtest.h>

#include <windows.h>

#include <filesystem>
#include <fstream>

#include "core/text.h"
#include "tests/support/temp_dir.h"

namespace fs = std::filesystem;

namespace {

TEST(CodePage, ManifestSelectsUtf8) { EXPECT_EQ(GetACP(), 65001u); }

TEST(CodePage, NonAsciiDocumentsPathRoundTrips) {
    const std::u16string documents = u"C:\\Users\\J\u00fcrgen \u5f20\u4f1f \U0001F680\\Documents";
    const std::string narrow = toNarrow(documents);
    EXPECT_EQ(narrow, "C:\\Users\\J\xc3\xbcrgen \xe5\xbc\xa0\xe4\xbc\x9f \xf0\x9f\x9a\x80\\Documents");
    EXPECT_EQ(toWide(narrow), documents);
}

TEST(CodePage, FileBelowANonAsciiFolderIsFoundThroughItsNarrowPath) {
    TempDir folder;
    const std::wstring wideRoot = folder.path().wstring();
    const std::u16string user = std::u16string(wideRoot.begin(), wideRoot.end()) +
                                u"\\J\u00fcrgen \u5f20\u4f1f\\Documents\\My Games\\ORV";
    const fs::path widePath(std::wstring(user.begin(), user.end()));
    fs::create_directories(widePath);
    {
        std::ofstream out(widePath / L"ClientSettings.ini");
        out << "[CLIENT]\n";
    }

    // The launcher's way: narrow text from toNarrow, opened with the narrow runtime calls.
    const std::string narrowFile = toNarrow(user) + "\\ClientSettings.ini";
    std::ifstream in(narrowFile);
    ASSERT_TRUE(in.is_open()) << narrowFile;
    std::string line;
    std::getline(in, line);
    EXPECT_EQ(line, "[CLIENT]");
    const DWORD attributes = GetFileAttributesA(narrowFile.c_str());
    EXPECT_NE(attributes, INVALID_FILE_ATTRIBUTES);
}

}  // namespace
