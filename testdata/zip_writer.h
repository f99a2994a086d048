// A ZIP archive written entry by entry with libarchive, with fixed times and owners, so that the
// same entries always give the same bytes.
#pragma once

#include <filesystem>
#include <memory>
#include <set>
#include <string>

struct archive;

namespace testdata {

class ZipWriter {
public:
    explicit ZipWriter(const std::filesystem::path& path);  // throws std::runtime_error
    ~ZipWriter();
    ZipWriter(const ZipWriter&) = delete;
    ZipWriter& operator=(const ZipWriter&) = delete;

    // Starts a file entry named `name` ('/' between folders) of `size` bytes; the entries of its
    // folders are written first when they are new.
    void beginFile(const std::string& name, std::uint64_t size, bool executable);
    void write(const std::string& bytes);
    // Completes the archive; throws when libarchive reports an error.
    void close();

private:
    void check(int result, const char* what);

    struct Free {
        void operator()(archive* handle) const;
    };
    std::unique_ptr<archive, Free> archive_;
    std::set<std::string> folders_;
};

}  // namespace testdata
