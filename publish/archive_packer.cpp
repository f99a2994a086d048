#include "publish/archive_packer.h"

#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <deque>
#include <exception>
#include <future>
#include <memory>
#include <new>
#include <stdexcept>
#include <thread>

#include "integrity/checksum.h"
#include "integrity/thread_pool.h"
#include "publish/progress_line.h"

namespace {

constexpr std::size_t pieceSize = std::size_t{1} << 20;
constexpr std::size_t windowSize = 32 * 1024;  // deflate's reach back
constexpr int level = 6;                       // zlib's default, as zip's

struct FileClose {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

// One piece of one file on its way through the workers.
struct Piece {
    std::size_t file = 0;
    bool first = false, last = false;
    std::string input, dictionary, output;
    bool deflated = false;
    std::promise<bool> decision;            // first piece: whether the file is deflated
    std::shared_future<bool> fileDecision;  // every piece
    std::promise<void> done;
    std::future<void> ready;
};

void compress(Piece& piece) {
    if (piece.first) {
        std::string output;
        try {
            output = deflatePiece({}, piece.input, piece.last);
        } catch (...) {
            piece.decision.set_exception(std::current_exception());
            throw;
        }
        const bool pays = output.size() + piece.input.size() / 64 < piece.input.size();
        piece.decision.set_value(pays);
        if (pays) piece.output = std::move(output);
        piece.deflated = pays;
        return;
    }
    // The first piece was queued before this one, so its worker is at it or done.
    piece.deflated = piece.fileDecision.get();
    if (piece.deflated) piece.output = deflatePiece(piece.dictionary, piece.input, piece.last);
}

// Reads the files piece by piece, in order.
class PieceReader {
public:
    explicit PieceReader(const std::vector<TreeFile>& files) : files_(files) {}

    // The next piece, or nothing after the last file.
    std::shared_ptr<Piece> next() {
        if (index_ >= files_.size()) return nullptr;
        const TreeFile& file = files_[index_];
        auto piece = std::make_shared<Piece>();
        piece->file = index_;
        piece->first = offset_ == 0;
        if (piece->first) {
            open_.reset(std::fopen(file.path.c_str(), "rb"));
            if (!open_) throw std::runtime_error(file.path + " cannot be read");
            decision_ = piece->decision.get_future().share();
            previousTail_.clear();
        }
        piece->fileDecision = decision_;
        const std::size_t want =
            static_cast<std::size_t>(std::min<std::uint64_t>(pieceSize, file.size - offset_));
        piece->input.resize(want);
        if (want > 0 && std::fread(piece->input.data(), 1, want, open_.get()) != want)
            throw std::runtime_error(file.path + " became shorter while it was packed");
        offset_ += want;
        piece->last = offset_ == file.size;
        piece->dictionary = std::move(previousTail_);
        previousTail_ = piece->input.substr(piece->input.size() - std::min(windowSize, want));
        if (piece->last) {
            char extra;
            if (std::fread(&extra, 1, 1, open_.get()) != 0)
                throw std::runtime_error(file.path + " grew while it was packed");
            open_.reset();
            offset_ = 0;
            ++index_;
        }
        return piece;
    }

private:
    const std::vector<TreeFile>& files_;
    std::size_t index_ = 0;
    std::uint64_t offset_ = 0;
    std::unique_ptr<std::FILE, FileClose> open_;
    std::shared_future<bool> decision_;
    std::string previousTail_;
};

}  // namespace

std::string deflatePiece(const std::string& dictionary, const std::string& input, bool last) {
    z_stream stream{};
    if (deflateInit2(&stream, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        throw std::bad_alloc();
    const std::unique_ptr<z_stream, int (*)(z_stream*)> end(&stream, deflateEnd);
    if (!dictionary.empty())
        deflateSetDictionary(&stream, reinterpret_cast<const Bytef*>(dictionary.data()),
                             static_cast<uInt>(dictionary.size()));
    // Room for the worst case and the flush's marker, so one call is enough as a rule.
    std::string output(deflateBound(&stream, static_cast<uLong>(input.size())) + 64, '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(input.data()));
    stream.avail_in = static_cast<uInt>(input.size());
    for (;;) {
        stream.next_out = reinterpret_cast<Bytef*>(output.data() + stream.total_out);
        stream.avail_out = static_cast<uInt>(output.size() - stream.total_out);
        const int result = deflate(&stream, last ? Z_FINISH : Z_SYNC_FLUSH);
        if (result == Z_STREAM_ERROR) throw std::runtime_error("deflate failed");
        if (last ? result == Z_STREAM_END : stream.avail_out > 0) break;
        output.resize(output.size() * 2);
    }
    output.resize(stream.total_out);
    return output;
}

PackedArchive packArchive(const std::vector<TreeFile>& files, const std::string& zipPath,
                          ProgressLine& progress, ZipLimits limits) {
    std::uint64_t totalBytes = 0;
    for (const TreeFile& file : files) totalBytes += file.size;
    progress.begin("packing", files.size(), totalBytes);

    PackedArchive packed;
    ZipFileWriter zip(zipPath, limits);
    PieceReader reader(files);
    const unsigned workers = std::max(1u, std::thread::hardware_concurrency());
    // Enough pieces in flight to keep every worker busy while the oldest is written.
    const std::size_t inFlight = 2 * workers + 2;
    std::deque<std::shared_ptr<Piece>> queue;
    std::uint32_t crc = 0;
    {
        ThreadPool pool(workers);
        for (;;) {
            while (queue.size() < inFlight) {
                std::shared_ptr<Piece> piece = reader.next();
                if (!piece) break;
                piece->ready = piece->done.get_future();
                pool.enqueue([piece] {
                    try {
                        compress(*piece);
                        piece->done.set_value();
                    } catch (...) {
                        piece->done.set_exception(std::current_exception());
                    }
                });
                queue.push_back(std::move(piece));
            }
            if (queue.empty()) break;
            const std::shared_ptr<Piece> piece = std::move(queue.front());
            queue.pop_front();
            piece->ready.get();
            const TreeFile& file = files[piece->file];
            if (piece->first) {
                zip.beginEntry("Astrovance/" + file.key, file.size, piece->deflated);
                crc = 0;
            }
            crc = continueChecksum(crc, piece->input.data(), piece->input.size());
            const std::string& data = piece->deflated ? piece->output : piece->input;
            zip.write(data.data(), data.size());
            if (piece->last) {
                zip.endEntry(crc, file.size);
                packed.files.push_back({file.key, crc, file.size, piece->deflated});
            }
            progress.advance(piece->last ? 1 : 0, piece->input.size());
        }
    }
    packed.archiveBytes = zip.finish();
    return packed;
}
