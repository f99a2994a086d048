#include "publish/version_file_edit.h"

#include <algorithm>
#include <optional>
#include <vector>

#include "core/ini_document.h"
#include "patch/version_file.h"

namespace {

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(std::move(line));
        start = end + 1;
    }
    return lines;
}

// The lines with the sections and keys as the launcher's reader sees them.
std::vector<VersionFileLine> readLines(const std::vector<std::string>& texts) {
    std::vector<VersionFileLine> lines;
    std::string section;
    for (const std::string& text : texts) {
        VersionFileLine line{text, section, false, std::nullopt, {}};
        const std::string trimmed = IniDocument::trim(text);
        const bool comment = trimmed.empty() || trimmed[0] == ';' || trimmed[0] == '#';
        const auto equals = trimmed.find('=');
        if (!comment && trimmed.front() == '[' && trimmed.back() == ']') {
            section = trimmed.substr(1, trimmed.size() - 2);
            line.section = section;
            line.header = true;
        } else if (!comment && equals != std::string::npos) {
            line.key = IniDocument::trim(trimmed.substr(0, equals));
            line.value = IniDocument::trim(trimmed.substr(equals + 1));
        }
        lines.push_back(std::move(line));
    }
    return lines;
}

class Editor {
public:
    explicit Editor(const std::string& text) : texts_(splitLines(text)) {
        eol_ = text.empty() || text.find("\r\n") != std::string::npos ? "\r\n" : "\n";
    }

    std::string text() const {
        std::string out;
        for (const std::string& line : texts_) out += line + eol_;
        return out;
    }

    // The value of the section's last pair (whose key stays), or a new "key = value" line.
    void setSingle(const std::string& section, const std::string& value, bool atTop) {
        const auto lines = readLines(texts_);
        std::optional<std::size_t> pair, header;
        for (std::size_t i = 0; i < lines.size(); ++i) {
            if (lines[i].section != section) continue;
            if (lines[i].header && !header) header = i;
            if (lines[i].key) pair = i;
        }
        if (pair) {
            texts_[*pair] = *lines[*pair].key + " = " + value;
        } else if (header) {
            texts_.insert(texts_.begin() + static_cast<long>(*header) + 1, "Version = " + value);
        } else if (atTop) {
            // Before the first section: updates count only after the current version.
            std::size_t at = 0;
            while (at < lines.size() && !lines[at].header) ++at;
            texts_.insert(texts_.begin() + static_cast<long>(at),
                          {"[" + section + "]", "Version = " + value, ""});
        } else {
            appendSection(section, "Version = " + value);
        }
    }

    // The update's line in place of the last one of its version, else after the section's last.
    void setUpdate(const std::string& version, const std::string& line) {
        const auto lines = readLines(texts_);
        std::optional<std::size_t> same, last;
        for (std::size_t i = 0; i < lines.size(); ++i) {
            if (lines[i].section != "Updates") continue;
            if (lines[i].key == version) same = i;
            if (lines[i].header || !IniDocument::trim(lines[i].text).empty()) last = i;
        }
        if (same) {
            texts_[*same] = line;
        } else if (last) {
            texts_.insert(texts_.begin() + static_cast<long>(*last) + 1, line);
        } else {
            appendSection("Updates", line);
        }
    }

private:
    void appendSection(const std::string& section, const std::string& line) {
        if (!texts_.empty() && !IniDocument::trim(texts_.back()).empty()) texts_.push_back("");
        texts_.push_back("[" + section + "]");
        texts_.push_back(line);
    }

    std::string eol_;
    std::vector<std::string> texts_;
};

}  // namespace

std::vector<VersionFileLine> versionFileLines(const std::string& text) {
    return readLines(splitLines(text));
}

std::string editVersionFile(const std::string& text, const VersionFileChange& change) {
    Editor editor(text);
    editor.setSingle("CurrentVersion", change.version, true);
    if (!change.launcherVersion.empty())
        editor.setSingle("Launcher", change.launcherVersion, false);
    editor.setUpdate(change.version, change.version + " = " + change.type + ", " + change.path);
    return editor.text();
}

std::string offerProblem(const std::string& edited, const VersionFileChange& change) {
    const VersionInfo info = readVersionFile(edited);
    if (info.currentVersion != change.version)
        return "its [CurrentVersion] section would give " + info.currentVersion + ", not " +
               change.version;
    if (!change.launcherVersion.empty() && info.launcherVersion != change.launcherVersion)
        return "its [Launcher] section would give " + info.launcherVersion + ", not " +
               change.launcherVersion;
    const bool listed = std::any_of(info.updates.begin(), info.updates.end(), [&](const auto& u) {
        return u.version == change.version && u.type == change.type && u.path == change.path;
    });
    if (!listed)
        return "the launcher would drop the new line: updates count only after the first "
               "[CurrentVersion] entry or a full update, and this file's [Updates] come before";
    return {};
}
