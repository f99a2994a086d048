#include "publish/key_rules.h"

#include <algorithm>
#include <string_view>

#include "core/ini_document.h"
#include "core/install_path.h"
#include "integrity/exclusions.h"

namespace {

bool isSeparator(char c) {
    return c == '/' || c == '\\';
}

// The first element of the key that the exclusion list names, asked of the list itself.
std::string excludedElement(const std::string& key) {
    std::size_t start = 0;
    while (start <= key.size()) {
        std::size_t end = start;
        while (end < key.size() && !isSeparator(key[end])) ++end;
        const std::string element = key.substr(start, end - start);
        if (!element.empty() && isExcluded(element)) return element;
        start = end + 1;
    }
    return key;
}

bool isUtf8(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const std::size_t length = lead < 0x80           ? 1
                                   : (lead >> 5) == 0x06 ? 2
                                   : (lead >> 4) == 0x0E ? 3
                                   : (lead >> 3) == 0x1E ? 4
                                                         : 0;
        if (length == 0 || i + length > text.size()) return false;
        for (std::size_t k = 1; k < length; ++k)
            if ((static_cast<unsigned char>(text[i + k]) >> 6) != 0x02) return false;
        i += length;
    }
    return true;
}

// A character that Windows does not allow in a file name, or 0.
char windowsForbidden(std::string_view key) {
    for (const char c : key) {
        if (static_cast<unsigned char>(c) < 0x20 ||
            std::string_view("<>\"|?*").find(c) != std::string_view::npos)
            return c;
    }
    return 0;
}

// True when a manifest line "key = 0" reads back as exactly this key.
bool survivesManifestLine(const std::string& key) {
    const auto pairs = IniDocument::parsePairs(key + " = 0\r\n");
    return pairs.size() == 1 && pairs.begin()->first == key && pairs.begin()->second == "0";
}

}  // namespace

std::string keyRefusal(const std::string& key, KeySource source) {
    if (source == KeySource::Tree && key.find('\\') != std::string::npos)
        return "its name holds a \"\\\", which the launcher and Windows read as a folder break";
    if (const InstallPath checked = checkInstallPath(key); !checked)
        return "the launcher installs only relative paths inside the game folder: " +
               checked.refusal;
    if (isExcluded(key)) {
        const std::string element = excludedElement(key);
        if (std::string_view(element).ends_with(".orv-partial"))
            return "the launcher takes \"*.orv-partial\" for its own unfinished downloads";
        return "the launcher leaves out every file named or below \"" + element + "\"";
    }
    if (!isUtf8(key)) return "its name is not UTF-8 text";
    if (const char c = windowsForbidden(key)) {
        if (static_cast<unsigned char>(c) < 0x20)
            return "its name holds a control character, which Windows does not allow";
        return std::string("its name holds \"") + c + "\", which Windows does not allow";
    }
    if (!survivesManifestLine(key))
        return "a line of hashes.ini cannot carry it (it begins with \";\" or \"#\", holds \"=\", "
               "or begins or ends with a blank)";
    return {};
}

std::string scriptPath(const std::string& key) {
    std::string path = "Astrovance\\" + key;
    std::replace(path.begin(), path.end(), '/', '\\');
    return path;
}
