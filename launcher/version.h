#pragma once

#include <string>

inline const std::string LauncherVersion = "0.0.2";
