// The pre- and post-patch scripts that frame every update: lines "DELETE = <path>" and
// "RUN = <path>", fetched from the update's folder on the download server.
#pragma once

#include <string>

// Fetches PrePatch.ini (`isPre`) or PostPatch.ini beside the update at `updateUrl` and carries out
// its lines in order. A missing script is no error. Paths are joined onto the current directory
// (the installation root); absolute ones stand for themselves. False when the script may exist
// but could not be fetched (a server error, no answer): the update it frames is then not done.
bool runPatchScript(bool isPre, const std::string& updateUrl);
