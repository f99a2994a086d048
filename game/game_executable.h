// The game's executable, relative to the installation root (the current directory).
#pragma once

inline constexpr const char* gameExecutable = ".\\Astrovance\\EXE\\Astrovance.exe";
