#include "integrity/scan_records.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string_view>
#include <system_error>

#include "core/log.h"
#include "core/staged_file.h"
#include "core/text.h"
#include "integrity/checksum.h"
#include "platform/platform.h"

namespace fs = std::filesystem;

namespace {

// The file: "ORVSCAN" and a NUL, the format number, the CRC-32 of everything after it, then the
// installation (its folder's text and volume), the number of records and the records (path,
// checksum, size, modified, changed, index, volume). Integers are little-endian; a text is its
// length in 32 bits and its bytes. A changed layout takes the next format number: a launcher
// reads only its own.
constexpr std::string_view magic{"ORVSCAN\0", 8};
constexpr std::uint32_t format = 1;
constexpr std::size_t headerSize = 16;
constexpr std::size_t smallestRecord = 4 + 4 + 5 * 8;

void put(std::string& out, std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>(value >> (8 * i)));
}

void putText(std::string& out, const std::string& text) {
    put(out, text.size(), 4);
    out += text;
}

// Reads the layout above; anything short leaves `whole` false.
struct Reader {
    std::string_view rest;
    bool whole = true;

    std::uint64_t take(std::size_t bytes) {
        if (rest.size() < bytes) {
            whole = false;
            rest = {};
            return 0;
        }
        std::uint64_t value = 0;
        for (std::size_t i = 0; i < bytes; ++i)
            value |= std::uint64_t{static_cast<unsigned char>(rest[i])} << (8 * i);
        rest.remove_prefix(bytes);
        return value;
    }
    std::string text() {
        const std::uint64_t size = take(4);
        if (rest.size() < size) {
            whole = false;
            rest = {};
            return {};
        }
        std::string text(rest.substr(0, size));
        rest.remove_prefix(size);
        return text;
    }
};

// The installation the records belong to: its folder, links resolved, and the volume under it.
struct Origin {
    std::string folder;
    std::uint64_t volume = 0;
    bool operator==(const Origin&) const = default;
};

std::optional<Origin> originOf(const std::string& root) {
    std::error_code error;
    const fs::path folder = fs::canonical(toPath(root), error);
    const auto volume = platform::volumeOf(root);
    if (error || !volume) return std::nullopt;
    return Origin{pathText(folder), *volume};
}

void ignored(const std::string& why) {
    logLine("Kept scan records not used: " + why);
}

}  // namespace

bool saveScanRecords(const std::string& path, const std::string& root,
                     const std::vector<ScannedFile>& records) {
    const auto origin = originOf(root);
    if (!origin) {
        logLine("Error write scan records: the installation folder cannot be examined");
        return false;
    }
    std::string body;
    body.reserve(64 + records.size() * (smallestRecord + 48));
    putText(body, origin->folder);
    put(body, origin->volume, 8);
    const auto stamped = std::ranges::count_if(records, [](const auto& r) { return !!r.stamp; });
    put(body, static_cast<std::uint64_t>(stamped), 4);
    for (const ScannedFile& record : records) {
        if (!record.stamp) continue;
        const platform::FileStamp& stamp = *record.stamp;
        putText(body, record.relativePath);
        put(body, record.checksum, 4);
        put(body, stamp.size, 8);
        put(body, static_cast<std::uint64_t>(stamp.modified), 8);
        put(body, static_cast<std::uint64_t>(stamp.changed), 8);
        put(body, stamp.index, 8);
        put(body, stamp.volume, 8);
    }
    std::string header(magic);
    put(header, format, 4);
    put(header, continueChecksum(0, body.data(), body.size()), 4);

    const std::string staged = stagingPath(path);
    bool written = false;
    {
        std::ofstream out(toPath(staged), std::ios::binary | std::ios::trunc);
        out << header << body;
        out.close();
        written = static_cast<bool>(out);
    }
    std::error_code error;
    if (written && replaceWithStaged(staged, path, error)) return true;
    discardStaged(staged);
    logLine("Error write scan records: " + path);
    return false;
}

std::optional<std::vector<ScannedFile>> loadScanRecords(const std::string& path,
                                                        const std::string& root) {
    std::ifstream in(toPath(path), std::ios::binary);
    if (!in) {
        std::error_code error;
        if (fs::exists(toPath(path), error)) ignored("they cannot be read");
        return std::nullopt;
    }
    std::string text;
    in.seekg(0, std::ios::end);
    text.resize(static_cast<std::size_t>(std::max<std::streamoff>(0, in.tellg())));
    in.seekg(0);
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    if (!in) {
        ignored("they cannot be read");
        return std::nullopt;
    }
    Reader header{text};
    if (text.size() < headerSize || !text.starts_with(magic)) {
        ignored("damaged");
        return std::nullopt;
    }
    header.rest.remove_prefix(magic.size());
    const std::uint64_t fileFormat = header.take(4);
    if (fileFormat != format) {
        ignored("written in format " + std::to_string(fileFormat) + ", not " +
                std::to_string(format));
        return std::nullopt;
    }
    const auto crc = static_cast<std::uint32_t>(header.take(4));
    Reader body{header.rest};
    if (continueChecksum(0, body.rest.data(), body.rest.size()) != crc) {
        ignored("damaged");
        return std::nullopt;
    }

    Origin kept;
    kept.folder = body.text();
    kept.volume = body.take(8);
    const std::uint64_t count = body.take(4);
    std::vector<ScannedFile> records;
    if (body.whole && count <= body.rest.size() / smallestRecord) records.reserve(count);
    for (std::uint64_t i = 0; i < count && body.whole; ++i) {
        ScannedFile record;
        record.relativePath = body.text();
        record.checksum = static_cast<std::uint32_t>(body.take(4));
        platform::FileStamp stamp;
        stamp.size = body.take(8);
        stamp.modified = static_cast<std::int64_t>(body.take(8));
        stamp.changed = static_cast<std::int64_t>(body.take(8));
        stamp.index = body.take(8);
        stamp.volume = body.take(8);
        record.stamp = stamp;
        records.push_back(std::move(record));
    }
    if (!body.whole || !body.rest.empty()) {
        ignored("damaged");
        return std::nullopt;
    }
    if (originOf(root) != kept) {
        ignored("they belong to " + kept.folder + ", another installation or volume");
        return std::nullopt;
    }
    std::ranges::sort(records, {}, &ScannedFile::relativePath);
    return records;
}
