// Files that replace installed ones are written beside their target first and renamed over it
// only when complete and checked, so the installed file stays whole until then.
#pragma once

#include <cstdio>
#include <string>
#include <system_error>

// Where the replacement of `target` is received: in the target's own folder, so the rename stays
// on one file system, under a name no game file carries.
std::string stagingPath(const std::string& target);

// Renames `staged` over `target`. Another program holding the target open (a virus scanner, the
// game) makes the rename fail on Windows for a moment: it is tried again for about two seconds.
bool replaceWithStaged(const std::string& staged, const std::string& target,
                       std::error_code& error);

// Removes a staging file; a missing one is no error.
void discardStaged(const std::string& staged);

// Opens the staging file `staged` for writing in binary mode, never through a link: a fresh file,
// after anything left at that name (a link is removed, not followed); or with `append`, the plain
// file there, to go on with it. Null when that cannot be had.
std::FILE* openStaged(const std::string& staged, bool append = false);
