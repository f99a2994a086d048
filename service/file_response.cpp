#include "service/file_response.h"

#include <chrono>
#include <fstream>
#include <memory>
#include <thread>
#include <vector>

#include "service/content_type.h"
#include "service/safe_path.h"

namespace fs = std::filesystem;

std::atomic<std::size_t> downloadBytesPerSecond{0};

namespace {
constexpr size_t blockSize = 256 * 1024;
}

bool sendFile(httplib::Response& response, const fs::path& file) {
    auto stream = std::make_shared<std::ifstream>(file, std::ios::binary);
    std::error_code error;
    const auto size = fs::file_size(file, error);
    if (!*stream || error) return false;

    response.status = 200;
    response.set_content_provider(
        static_cast<size_t>(size), contentTypeFor(file),
        [stream](size_t offset, size_t length, httplib::DataSink& sink) {
            std::vector<char> buffer(std::min(length, blockSize));
            stream->clear();
            stream->seekg(static_cast<std::streamoff>(offset));
            stream->read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
            const auto got = stream->gcount();
            // A file that shrank while being sent ends the connection rather than padding it.
            if (got <= 0) return false;
            if (const std::size_t rate = downloadBytesPerSecond; rate > 0) {
                std::this_thread::sleep_for(std::chrono::microseconds(
                    static_cast<long long>(got) * 1'000'000 / static_cast<long long>(rate)));
            }
            return sink.write(buffer.data(), static_cast<size_t>(got));
        });
    return true;
}

void serveFromFolder(httplib::Response& response, const fs::path& root,
                     const std::string& requestPath) {
    const ResolvedPath resolved = resolveServedFile(root, requestPath);
    if (resolved.verdict == PathVerdict::Refused) return sendStatus(response, 403, "Forbidden");
    if (resolved.verdict == PathVerdict::Missing || !sendFile(response, resolved.file)) {
        return sendStatus(response, 404, "Not Found");
    }
}

void sendStatus(httplib::Response& response, int status, const std::string& text) {
    response.status = status;
    response.set_content(text + "\n", "text/plain; charset=utf-8");
}
