#include "web/json_text.h"

std::u16string jsonEscape(const std::u16string& text) {
    static constexpr char16_t hex[] = u"0123456789abcdef";
    const auto high = [](char16_t c) { return c >= 0xD800 && c < 0xDC00; };
    const auto low = [](char16_t c) { return c >= 0xDC00 && c < 0xE000; };
    std::u16string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char16_t c = text[i];
        if (high(c) && i + 1 < text.size() && low(text[i + 1])) {
            out += text.substr(i++, 2);
            continue;
        }
        // A half of a pair alone (a file name's byte that is no UTF-8) is no character the page
        // can show or a JSON reader takes: it shows as the replacement character.
        if (high(c) || low(c)) {
            out += u'\uFFFD';
            continue;
        }
        switch (c) {
            case u'"':
                out += u"\\\"";
                break;
            case u'\\':
                out += u"\\\\";
                break;
            case u'\n':
                out += u"\\n";
                break;
            case u'\r':
                out += u"\\r";
                break;
            case u'\t':
                out += u"\\t";
                break;
            case u'\b':
                out += u"\\b";
                break;
            case u'\f':
                out += u"\\f";
                break;
            default:
                if (c < 0x20) {
                    out += u"\\u00";
                    out += hex[c >> 4];
                    out += hex[c & 0xF];
                } else {
                    out += c;
                }
        }
    }
    return out;
}
