// The two kinds of update that the patch run applies, each given the update's URL and the
// installation root. Both block until every file of the update has been dealt with, and tell
// whether the update is complete: every file it needs is in place and checked. An incomplete
// update is logged with what failed.
#pragma once

#include <string>

// "inc": the files of the update's manifest that are missing or differ, several downloads at once.
bool updateFilesFromWeb(const std::string& updateUrl, const std::string& root);

// "full": the archive at `updateUrl`, kept as ORV.zip, and the entries of it that differ.
bool updateFilesFromZip(const std::string& updateUrl, const std::string& root);
