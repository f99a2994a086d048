#include "web/web_origin.h"

#include "core/text.h"
#include "net/endpoints.h"

namespace {

bool asciiLetter(char16_t c) {
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z');
}
bool asciiDigit(char16_t c) {
    return c >= u'0' && c <= u'9';
}
char asciiLower(char16_t c) {
    return static_cast<char>(c >= u'A' && c <= u'Z' ? c - u'A' + u'a' : c);
}

int defaultPort(const std::string& scheme) {
    return scheme == "https" ? 443 : 80;
}

}  // namespace

std::string urlScheme(std::u16string_view url) {
    const auto colon = url.find(u':');
    if (colon == std::u16string_view::npos || colon == 0 || !asciiLetter(url[0])) return {};
    std::string scheme;
    for (const char16_t c : url.substr(0, colon)) {
        if (!asciiLetter(c) && !asciiDigit(c) && c != u'+' && c != u'-' && c != u'.') return {};
        scheme += asciiLower(c);
    }
    return scheme;
}

std::optional<WebOrigin> webOrigin(std::u16string_view url) {
    std::string scheme = urlScheme(url);
    if (scheme != "http" && scheme != "https") return std::nullopt;
    std::u16string_view rest = url.substr(scheme.size() + 1);
    if (!rest.starts_with(u"//")) return std::nullopt;
    rest.remove_prefix(2);
    // In these schemes browsers end the authority at a backslash as at a slash.
    std::u16string_view authority = rest.substr(0, rest.find_first_of(u"/?#\\"));
    // Only what follows the last '@' names the server; the rest is credentials.
    if (const auto at = authority.rfind(u'@'); at != std::u16string_view::npos)
        authority.remove_prefix(at + 1);

    std::u16string_view host = authority, port;
    const auto portColon =
        authority.starts_with(u'[') ? authority.find(u"]:") : authority.find(u':');
    if (portColon != std::u16string_view::npos) {
        const auto hostEnd = authority[portColon] == u']' ? portColon + 1 : portColon;
        host = authority.substr(0, hostEnd);
        port = authority.substr(hostEnd + 1);
    }
    if (host.empty() || (host.starts_with(u'[') && !host.ends_with(u']'))) return std::nullopt;

    WebOrigin origin{std::move(scheme), {}, 0};
    origin.port = defaultPort(origin.scheme);
    for (const char16_t c : host) {
        if (c <= u' ' || c >= 0x7F) return std::nullopt;
        origin.host += asciiLower(c);
    }
    if (!port.empty()) {
        int value = 0;
        for (const char16_t c : port) {
            if (!asciiDigit(c)) return std::nullopt;
            value = value * 10 + (c - u'0');
            if (value > 65535) return std::nullopt;
        }
        origin.port = value;
    }
    return origin;
}

std::string originText(const WebOrigin& origin) {
    std::string text = origin.scheme + "://" + origin.host;
    if (origin.port != defaultPort(origin.scheme)) text += ":" + std::to_string(origin.port);
    return text;
}

bool isWebServiceOrigin(std::u16string_view url) {
    const std::optional<WebOrigin> page = webOrigin(url);
    return page && page == webOrigin(toWide(webServiceUrl));
}
