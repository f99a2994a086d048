// The game as the Linux launcher starts it under Wine: notes in "game-saw.txt" of its working
// folder the account in its registry key and the client settings in its documents folder.
#include <windows.h>

#include <shlobj.h>

#include <fstream>

int main() {
    std::ofstream out("game-saw.txt", std::ios::binary);
    for (const char* name : {"MPAccountName", "MPAccountNameSig"}) {
        char data[1024] = {};
        DWORD size = sizeof data - 1;
        RegGetValueA(HKEY_CURRENT_USER, "Software\\Microsoft\\Microsoft Games\\Astrovance\\1.0",
                     name, RRF_RT_REG_SZ, nullptr, data, &size);
        out << name << '=' << data << '\n';
    }
    char settings[MAX_PATH + 40] = {};
    SHGetFolderPathA(nullptr, CSIDL_PERSONAL, nullptr, 0, settings);
    out << std::ifstream(lstrcatA(settings, "\\My Games\\ORV\\ClientSettings.ini")).rdbuf();
}
