#include <windows.h>

#include <shellapi.h>

#include "platform/platform.h"
#include "platform/win32/wide_path.h"

namespace platform {

MessageAnswer messageBox(const std::string& text, const std::string& caption, MessageKind kind) {
    if (messageBoxAnswerer) return messageBoxAnswerer(text, caption, kind);
    UINT type = MB_OK;
    if (kind == MessageKind::Error) type = MB_OK | MB_ICONERROR;
    if (kind == MessageKind::Question) type = MB_YESNO | MB_ICONQUESTION;
    const int answer = MessageBoxA(nullptr, text.c_str(), caption.c_str(), type);
    if (kind != MessageKind::Question) return MessageAnswer::Ok;
    return answer == IDYES ? MessageAnswer::Yes : MessageAnswer::No;
}

void shellOpen(const std::u16string& target) {
    ShellExecuteW(nullptr, L"open", wideChars(target), nullptr, nullptr, SW_SHOWNORMAL);
}

void startProgram(const std::string& file, const std::string& parameters,
                  const std::string& workingDirectory) {
    // The game inherits the launcher's current directory, which is the installation root.
    ShellExecuteA(nullptr, "open", file.c_str(), parameters.c_str(),
                  workingDirectory.empty() ? nullptr : workingDirectory.c_str(), SW_SHOW);
}

bool deleteFile(const std::u16string& path) {
    return DeleteFileW(wideChars(path)) != 0;
}

RegistryWrite writeGameRegistryValue(const std::string&, const std::string& keyPath,
                                     const std::string& name, const std::string& data) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, keyPath.c_str(), 0, KEY_WRITE, &key) != ERROR_SUCCESS)
        return RegistryWrite::NoKey;
    const LONG result =
        RegSetValueExA(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                       static_cast<DWORD>(data.size() + 1));
    RegCloseKey(key);
    return result == ERROR_SUCCESS ? RegistryWrite::Stored : RegistryWrite::Failed;
}

// The game runs on this system and sees its documents folder.
std::optional<std::string> programDocumentsFolder(const std::string&) {
    return std::nullopt;
}

}  // namespace platform
