// The POSIX stand-in for the ANSI code page is the character set of the locale that the
// launcher selects with setlocale(LC_ALL, "") at start.
#include <iconv.h>
#include <langinfo.h>

#include <bit>
#include <cerrno>
#include <cstring>
#include <string>

#include "platform/platform.h"

namespace platform {
namespace {

constexpr const char* utf16 = std::endian::native == std::endian::little ? "UTF-16LE" : "UTF-16BE";

class Converter {
public:
    Converter(const char* to, const char* from) : handle_(iconv_open(to, from)) {}
    ~Converter() {
        if (ok()) iconv_close(handle_);
    }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;
    bool ok() const { return handle_ != reinterpret_cast<iconv_t>(-1); }

    // Converts the whole input; on a sequence that cannot be converted, appends the
    // replacement and skips `skip(input, left)` bytes. Returns false when iconv itself fails.
    template <class Output, class Skip>
    bool run(const char* input, std::size_t size, Output& out,
             const typename Output::value_type replacement, Skip skip) {
        char* in = const_cast<char*>(input);
        std::size_t inLeft = size;
        typename Output::value_type buffer[256];
        while (inLeft > 0) {
            char* outPtr = reinterpret_cast<char*>(buffer);
            std::size_t outLeft = sizeof buffer;
            const std::size_t result = iconv(handle_, &in, &inLeft, &outPtr, &outLeft);
            out.append(buffer, (sizeof buffer - outLeft) / sizeof buffer[0]);
            if (result != static_cast<std::size_t>(-1)) continue;
            if (errno == E2BIG) continue;
            if (errno != EILSEQ && errno != EINVAL) return false;
            out.push_back(replacement);
            const std::size_t step = std::min(skip(in, inLeft), inLeft);
            in += step;
            inLeft -= step;
        }
        char* outPtr = reinterpret_cast<char*>(buffer);
        std::size_t outLeft = sizeof buffer;
        iconv(handle_, nullptr, nullptr, &outPtr, &outLeft);
        out.append(buffer, (sizeof buffer - outLeft) / sizeof buffer[0]);
        return true;
    }

private:
    iconv_t handle_;
};

}  // namespace

std::u16string narrowToWide(const char* text) {
    Converter converter(utf16, nl_langinfo(CODESET));
    std::u16string result;
    if (!converter.ok()) return result;
    // An invalid byte becomes U+FFFD and the conversion goes on with the next byte.
    auto skipByte = [](const char*, std::size_t) -> std::size_t { return 1; };
    if (!converter.run(text, std::strlen(text), result, u'\uFFFD', skipByte)) return {};
    return result;
}

std::string wideToNarrow(const char16_t* text) {
    Converter converter(nl_langinfo(CODESET), utf16);
    std::string result;
    if (!converter.ok()) return result;
    std::size_t units = 0;
    while (text[units] != 0) ++units;
    // A character the code page lacks becomes '?': skip its surrogate pair or single unit.
    auto skipCharacter = [](const char* at, std::size_t left) -> std::size_t {
        char16_t first;
        std::memcpy(&first, at, sizeof first);
        if (first >= 0xD800 && first < 0xDC00 && left >= 4) {
            char16_t second;
            std::memcpy(&second, at + 2, sizeof second);
            if (second >= 0xDC00 && second < 0xE000) return 4;
        }
        return 2;
    };
    if (!converter.run(reinterpret_cast<const char*>(text), units * 2, result, '?', skipCharacter))
        return {};
    return result;
}

}  // namespace platform
