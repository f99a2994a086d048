// Symbolic links, for the tests that check the launcher never follows one out of the installation.
#pragma once

#include <filesystem>

// Makes `link` a symbolic link to the folder `target`; false where this system or user cannot.
bool makeFolderLink(const std::filesystem::path& target, const std::filesystem::path& link);
bool symbolicLinksWork();

#define SKIP_WITHOUT_SYMBOLIC_LINKS() \
    if (!symbolicLinksWork()) GTEST_SKIP() << "no symbolic links for this user here (Wine?)"
