// What the launcher may write, replace or delete: a path below a folder of the installation. The
// server's manifest keys, archive entry names and script paths all pass this one rule.
#pragma once

#include <string>
#include <string_view>

// A relative path, checked: either `relative` (elements joined with "/", "." elements and doubled
// separators gone) or, when refused, `refusal` says why. Exactly one of the two is set.
struct InstallPath {
    std::string relative;
    std::string refusal;
    explicit operator bool() const { return refusal.empty(); }
};

// "/" and "\" both separate folders: the server writes Windows paths. Refused: absolute and UNC
// paths, drives and streams (any ":"), NUL, ".." (also ".. " and "...", which Windows reads as
// ".."), elements ending in a dot or a blank, device names (CON, AUX.txt, COM1, ...), and paths
// naming no file. The Windows rules hold on every system, so a list that installs here installs
// for Windows players too.
InstallPath checkInstallPath(std::string_view path);

// Equal for two accepted paths exactly when they name one file on this system: Windows folds
// letter case, other systems do not.
std::string sameFileKey(const std::string& relative);

// True when nothing on disk leads `relative` (an accepted path) out of `base`: no existing element
// below `base` is a link that points elsewhere. On Windows every link or junction below `base`
// counts, as its target cannot be told reliably; `base` itself may be one.
bool staysBelow(const std::string& base, const std::string& relative);
