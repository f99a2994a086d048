// Narrow texts are UTF-8 whatever the locale says: file names are bytes, and a home folder named
// in UTF-8 must not turn into question marks under LC_ALL=C. Bytes that are not UTF-8 travel
// through UTF-16 as the lone surrogates U+DC80..U+DCFF and come back as the same bytes, so every
// file name survives the round trip. Only texts shown on a terminal go through the locale's
// character set (localeText).
#include <iconv.h>
#include <langinfo.h>

#include <bit>
#include <cerrno>
#include <cstring>
#include <string>

#include "platform/platform.h"
#include "platform/posix/locale_text.h"

namespace platform {
namespace {

constexpr char16_t escapedByteBase = 0xDC00;  // + byte 0x80..0xFF

// The length of the well-formed UTF-8 sequence at `at` and its code point; 0 when the bytes there
// do not start one (overlong forms, encoded surrogates and values above U+10FFFF included).
std::size_t decodeSequence(const unsigned char* at, char32_t& code) {
    const unsigned char lead = at[0];
    std::size_t length;
    char32_t minimum;
    if (lead < 0x80) {
        code = lead;
        return 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, minimum = 0x80, code = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, minimum = 0x800, code = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, minimum = 0x10000, code = lead & 0x07;
    } else {
        return 0;
    }
    for (std::size_t i = 1; i < length; ++i) {
        // A NUL ends the text, and it is not a continuation byte either.
        if ((at[i] & 0xC0) != 0x80) return 0;
        code = (code << 6) | (at[i] & 0x3F);
    }
    if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code < 0xE000)) return 0;
    return length;
}

void appendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

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
    const auto* at = reinterpret_cast<const unsigned char*>(text);
    std::u16string result;
    while (*at) {
        char32_t code;
        const std::size_t length = decodeSequence(at, code);
        if (length == 0) {
            result += static_cast<char16_t>(escapedByteBase + *at++);
            continue;
        }
        at += length;
        if (code < 0x10000) {
            result += static_cast<char16_t>(code);
        } else {
            result += static_cast<char16_t>(0xD800 + ((code - 0x10000) >> 10));
            result += static_cast<char16_t>(0xDC00 + ((code - 0x10000) & 0x3FF));
        }
    }
    return result;
}

std::string wideToNarrow(const char16_t* text) {
    std::string result;
    for (; *text; ++text) {
        const char16_t unit = *text;
        if (unit >= 0xD800 && unit < 0xDC00 && text[1] >= 0xDC00 && text[1] < 0xE000) {
            appendUtf8(result, 0x10000 + ((unit - 0xD800) << 10) + (text[1] - 0xDC00));
            ++text;
        } else if (unit >= escapedByteBase + 0x80 && unit <= escapedByteBase + 0xFF) {
            result += static_cast<char>(unit - escapedByteBase);
        } else if (unit >= 0xD800 && unit < 0xE000) {
            // Any other lone surrogate names no character and no byte.
            result += '?';
        } else {
            appendUtf8(result, unit);
        }
    }
    return result;
}

std::string localeText(const std::string& text) {
    const char* codeset = nl_langinfo(CODESET);
    if (std::strcmp(codeset, "UTF-8") == 0) return text;
    Converter converter(codeset, utf16);
    if (!converter.ok()) return text;
    const std::u16string wide = narrowToWide(text.c_str());
    std::string result;
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
    if (!converter.run(reinterpret_cast<const char*>(wide.data()), wide.size() * 2, result, '?',
                       skipCharacter))
        return text;
    return result;
}

}  // namespace platform
