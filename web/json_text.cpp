#include "web/json_text.h"

std::u16string jsonEscape(const std::u16string& text) {
    static constexpr char16_t hex[] = u"0123456789abcdef";
    std::u16string out;
    out.reserve(text.size());
    for (const char16_t c : text) {
        switch (c) {
            case u'"': out += u"\\\""; break;
            case u'\\': out += u"\\\\"; break;
            case u'\n': out += u"\\n"; break;
            case u'\r': out += u"\\r"; break;
            case u'\t': out += u"\\t"; break;
            case u'\b': out += u"\\b"; break;
            case u'\f': out += u"\\f"; break;
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
