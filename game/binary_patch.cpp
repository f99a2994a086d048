#include "game/binary_patch.h"

#include <algorithm>
#include <fstream>

#include "core/format.h"
#include "core/ini_document.h"
#include "core/log.h"
#include "core/user_paths.h"
#include "game/game_executable.h"
#include "platform/platform.h"

namespace {

std::string nativePath(std::string path) {
    std::replace(path.begin(), path.end(), '\\', platform::pathSeparator);
    return path;
}

std::string where(const BINPatch& patch) {
    return patch.file + " at offset 0x" + lowerHex(static_cast<std::uint64_t>(patch.offset));
}

}  // namespace

bool applyBinPatch(const BINPatch& patch, bool apply) {
    // in|out neither creates nor truncates the file.
    std::fstream file(nativePath(patch.file), std::ios::in | std::ios::out | std::ios::binary);
    if (!file.is_open()) {
        logLine("Failed to open file: " + patch.file);
        return false;
    }

    const std::size_t length = std::max(patch.patched.size(), patch.expected.size());
    std::vector<unsigned char> buffer(length, 0);
    std::size_t got = 0;
    if (patch.offset >= 0 && file.seekg(patch.offset)) {
        file.read(reinterpret_cast<char*>(buffer.data()), static_cast<std::streamsize>(length));
        got = static_cast<std::size_t>(file.gcount());
    }
    file.clear();
    // Only bytes that are really there can match: zeros past the end of the file are not a form.
    const auto holds = [&](const std::vector<unsigned char>& form) {
        return got >= form.size() && std::equal(form.begin(), form.end(), buffer.begin());
    };

    const std::vector<unsigned char>* write = nullptr;
    if (apply) {
        if (holds(patch.expected)) write = &patch.patched;
    } else if (holds(patch.patched)) {
        write = &patch.expected;
    } else if (holds(patch.expected)) {
        return true;
    }
    if (!write) {
        logLine("BINPatch conditions not met. File unchanged: " + where(patch));
        return false;
    }

    file.seekp(patch.offset);
    file.write(reinterpret_cast<const char*>(write->data()),
               static_cast<std::streamsize>(write->size()));
    file.close();  // flushes, so a failed write shows here too
    if (file.fail()) {
        logLine("Failed to write to file: " + patch.file);
        return false;
    }
    return true;
}

void runBinPatch(const BINPatch& patch) {
    const bool apply = patch.apply.value_or(true);
    if (applyBinPatch(patch, apply))
        logLine((apply ? "BINPatch successfully applied: " : "BINPatch successfully reverted: ") +
                where(patch));
}

void applyGamePatches() {
    const bool inBackground =
        IniDocument::getFlag(clientSettingsPath.get(), "Config", "RuninBackground");
    // Sets bit 0x20 of one header byte.
    const BINPatch header{gameExecutable, 0x14E, {0x2F}, {0x0F}, true};
    // "cmp edi, 1; sete dl" becomes "mov edx, 1; nop": the result is always 1.
    const BINPatch background{gameExecutable,
                              0x1B264C,
                              {0xBA, 0x01, 0x00, 0x00, 0x00, 0x90},
                              {0x83, 0xFF, 0x01, 0x0F, 0x94, 0xC2},
                              inBackground};
    runBinPatch(header);
    runBinPatch(background);
}
