// Symbolic links for the tests that check the launcher never follows one out of the installation.
#pragma once

#include <filesystem>

// Makes `link` a symbolic link to the folder `target`. False when this system or this user cannot
// make one (Wine, or Windows without the privilege for links): such tests are skipped there.
bool makeFolderLink(const std::filesystem::path& target, const std::filesystem::path& link);

// Whether this system and user can make symbolic links at all (tried once in a scratch folder).
bool symbolicLinksWork();

#define SKIP_WITHOUT_SYMBOLIC_LINKS()                                                        \
    if (!symbolicLinksWork())                                                                \
    GTEST_SKIP() << "this system makes no symbolic links for this user (Wine, or Windows " \
                    "without the privilege to create them)"
