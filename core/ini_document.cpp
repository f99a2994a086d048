#include "core/ini_document.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <sstream>
#include <vector>

#include "core/format.h"
#include "core/log.h"
#include "core/staged_file.h"
#include "core/text.h"
#include "core/user_paths.h"
#include "platform/platform.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* getValueSpace = " \t\n\r\f\v";
constexpr const char* trimSpace = " \t\r\n";
// Files are written in binary mode; the line end is the one text mode would write.
#ifdef _WIN32
constexpr const char* lineEnd = "\r\n";
#else
constexpr const char* lineEnd = "\n";
#endif

// setValue is a read-modify-write of the whole file; the UI and the patch thread both call it.
std::mutex iniWriteLock;

std::string strip(const std::string& text, const char* space) {
    const auto first = text.find_first_not_of(space);
    if (first == std::string::npos) return "";
    const auto last = text.find_last_not_of(space);
    return text.substr(first, last - first + 1);
}

bool isHeader(const std::string& line) {
    return !line.empty() && line.front() == '[' && line.back() == ']';
}

// Lines as a text-mode stream gives them: a CR before the LF ends the line with it.
bool readLine(std::istream& in, std::string& line) {
    if (!std::getline(in, line)) return false;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return true;
}

std::string withoutSpace(const std::string& text) {
    std::string result;
    for (char c : text)
        if (std::string_view(" \t\n\v\f\r").find(c) == std::string_view::npos) result += c;
    return result;
}

std::vector<std::string> setValueLines(std::istream& in, const std::string& section,
                                       const std::string& key, const std::string& value) {
    const std::string header = "[" + section + "]";
    const std::string entry = key + "=" + value;
    bool inSection = false, entryWritten = false, sectionSeen = false;
    std::vector<std::string> out;
    for (std::string line; readLine(in, line);) {
        const std::string content = line.substr(0, line.find(';'));
        if (isHeader(content)) {
            // A missing key goes to the end of its section, before the next header.
            if (inSection && !entryWritten) {
                out.push_back(entry);
                entryWritten = true;
            }
            inSection = content == header;
            if (inSection) sectionSeen = true;
        } else if (!content.empty() && inSection &&
                   withoutSpace(content.substr(0, content.find('='))) == key) {
            line = entry;
            entryWritten = true;
        }
        out.push_back(line);
    }
    if (!sectionSeen) {
        out.push_back(header);
        out.push_back(entry);
    } else if (inSection && !entryWritten) {
        out.push_back(entry);
    }
    return out;
}

std::string temporaryName(const std::string& path) {
    static thread_local std::mt19937_64 random{std::random_device{}()};
    return path + ".tmp" + lowerHex(random());
}

// Writes the lines to a new file beside `path` and renames it over the old one, so a crash or a
// full disk leaves either the old or the new file, never a truncated one.
std::error_code replaceFile(const std::string& path, const std::vector<std::string>& lines) {
    const std::string temporary = temporaryName(path);
    {
        std::FILE* out = openStaged(temporary);
        if (!out) return std::make_error_code(std::errc::io_error);
        bool written = true;
        for (const auto& line : lines) {
            written = written && std::fwrite(line.data(), 1, line.size(), out) == line.size() &&
                      std::fputs(lineEnd, out) >= 0;
        }
        if (std::fclose(out) != 0 || !written) {
            discardStaged(temporary);
            return std::make_error_code(std::errc::no_space_on_device);
        }
    }
    std::error_code error;
    if (!platform::flushFileToDisk(temporary)) error = std::make_error_code(std::errc::io_error);
    if (!error) replaceWithStaged(temporary, path, error);
    if (error) discardStaged(temporary);
    return error;
}

bool writeFailed(const std::string& path, const std::error_code& error) {
    logLine("Error writing " + path + ": " + error.message());
    return false;
}

}  // namespace

namespace IniDocument {

std::string getValue(const std::string& path, const std::string& section, const std::string& key) {
    // Binary: Windows' C runtime ends a text-mode read at a Ctrl-Z byte.
    std::ifstream in(path, std::ios::binary);
    if (!in) return "";
    bool inSection = false;
    for (std::string line; std::getline(in, line);) {
        line = strip(line.substr(0, line.find(';')), getValueSpace);
        if (isHeader(line)) {
            inSection = line.substr(1, line.size() - 2) == section;
        } else if (inSection && line.size() > key.size() && line.compare(0, key.size(), key) == 0 &&
                   line[key.size()] == '=') {
            return strip(line.substr(key.size() + 1), getValueSpace);
        }
    }
    return "";
}

bool setValue(const std::string& path, const std::string& section, const std::string& key,
              const std::string& value) {
    const std::lock_guard lock(iniWriteLock);
    std::error_code error;
    const fs::path folder = toPath(path).parent_path();
    if (!folder.empty() && !fs::exists(folder, error)) {
        fs::create_directories(folder, error);
        if (error) return writeFailed(path, error);
    }
    std::vector<std::string> lines;
    std::ifstream in(path, std::ios::binary);
    if (in) {
        lines = setValueLines(in, section, key, value);
    } else {
        // A missing file starts empty; one that exists but cannot be read is left alone.
        if (fs::exists(toPath(path), error) || error)
            return writeFailed(path, error ? error : std::make_error_code(std::errc::io_error));
        std::istringstream empty;
        lines = setValueLines(empty, section, key, value);
    }
    in.close();
    error = replaceFile(path, lines);
    return error ? writeFailed(path, error) : true;
}

bool getFlag(const std::string& path, const std::string& section, const std::string& key) {
    return getValue(path, section, key) == "true";
}

std::map<std::string, std::string> parsePairs(const std::string& text) {
    std::map<std::string, std::string> pairs;
    for (auto& [key, value] : pairsInOrder(text)) pairs[std::move(key)] = std::move(value);
    return pairs;
}

std::vector<std::pair<std::string, std::string>> pairsInOrder(const std::string& text) {
    std::vector<std::pair<std::string, std::string>> pairs;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == ';' || line[0] == '#') continue;
        const auto equals = line.find('=');
        if (equals == std::string::npos) continue;
        pairs.emplace_back(trim(line.substr(0, equals)), trim(line.substr(equals + 1)));
    }
    return pairs;
}

std::string trim(const std::string& text) {
    return strip(text, trimSpace);
}

}  // namespace IniDocument

std::string readClientVersion() {
    const std::string path = clientSettingsPath.get();
    std::string version = IniDocument::getValue(path, "CLIENT", "Version");
    if (!version.empty()) return version;
    IniDocument::setValue(path, "CLIENT", "Version", "0.0.0");
    return "0.0.0";
}
