#include "tests/game/installation_root.h"

InstallationRoot::InstallationRoot() : previous_(std::filesystem::current_path()) {
    useUserFolder(dir_);
    std::filesystem::create_directories(executable().parent_path());
    std::filesystem::current_path(dir_.path());
}

InstallationRoot::~InstallationRoot() {
    std::filesystem::current_path(previous_);
}

std::string pristineExecutable() {
    std::string bytes(2 * 1024 * 1024, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<char>((i * 131 + 7) % 251);
    bytes.replace(0x14E, 1, "\x0F");
    bytes.replace(0x1B264C, 6, "\x83\xFF\x01\x0F\x94\xC2");
    return bytes;
}
