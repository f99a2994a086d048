#include "web/web_origin.h"

#include <cstdio>
#include <vector>

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

bool allOf(std::string_view text, std::string_view characters) {
    return !text.empty() && text.find_first_not_of(characters) == std::string_view::npos;
}

bool decimalOctet(std::string_view part) {
    return allOf(part, "0123456789") && part.size() <= 3 && (part.size() == 1 || part[0] != '0') &&
           std::stoi(std::string(part)) <= 255;
}

// The shortest form: lower case, no leading zeros, the first longest run of two or more zero
// groups as "::". Nothing when `text` is no IPv6 address of plain groups.
std::optional<std::string> shortestIpv6(std::string_view text) {
    std::vector<unsigned> head, tail;
    std::vector<unsigned>* groups = &head;
    if (text.starts_with("::")) {
        groups = &tail;
        text.remove_prefix(2);
    }
    while (!text.empty()) {
        const auto colon = text.find(':');
        const std::string_view group = text.substr(0, colon);
        if (!allOf(group, "0123456789abcdef") || group.size() > 4) return std::nullopt;
        groups->push_back(static_cast<unsigned>(std::stoul(std::string(group), nullptr, 16)));
        if (colon == std::string_view::npos) break;
        text.remove_prefix(colon + 1);
        if (text.starts_with(':')) {
            if (groups == &tail) return std::nullopt;
            groups = &tail;
            text.remove_prefix(1);
        } else if (text.empty()) {
            return std::nullopt;
        }
    }
    const std::size_t count = head.size() + tail.size();
    if (groups == &tail ? count > 7 : count != 8) return std::nullopt;
    head.resize(8 - tail.size(), 0);
    head.insert(head.end(), tail.begin(), tail.end());
    std::size_t best = 8, bestLength = 1;
    for (std::size_t i = 0, j = 0; i < 8; i = j + 1) {
        for (j = i; j < 8 && head[j] == 0;) ++j;
        if (j - i > bestLength) best = i, bestLength = j - i;
    }
    std::string shortest;
    char group[8];
    for (std::size_t i = 0; i < 8; ++i) {
        if (i == best) {
            shortest += "::";
            i += bestLength - 1;
            continue;
        }
        if (!shortest.empty() && !shortest.ends_with(':')) shortest += ':';
        std::snprintf(group, sizeof group, "%x", head[i]);
        shortest += group;
    }
    return shortest;
}

// Browsers and libcurl read some spellings of a host as another: percent escapes, an IPv4
// address in hex, octal or fewer parts (whenever the last label is a number), an IPv6 address
// not in its shortest form. Each host has one spelling here, so no other names the service's.
bool plainHost(std::string_view host) {
    if (host.starts_with('['))
        return shortestIpv6(host.substr(1, host.size() - 2)) == host.substr(1, host.size() - 2);
    if (host.find_first_of("%[]") != std::string_view::npos) return false;
    std::string_view last = host.ends_with('.') ? host.substr(0, host.size() - 1) : host;
    last = last.substr(last.rfind('.') + 1);
    const bool number =
        allOf(last, "0123456789") ||
        (last.starts_with("0x") && (last.size() == 2 || allOf(last.substr(2), "0123456789abcdef")));
    if (!number) return true;
    for (int part = 0; part < 4; ++part) {
        const auto dot = host.find('.');
        if (!decimalOctet(host.substr(0, dot)) || (dot == std::string_view::npos) != (part == 3))
            return false;
        host.remove_prefix(dot == std::string_view::npos ? host.size() : dot + 1);
    }
    return true;
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
    // Browsers end the authority at a backslash as at a slash, other URL readers (libcurl) do
    // not: with one in it, the URL names no origin that all agree on.
    std::u16string_view authority = rest.substr(0, rest.find_first_of(u"/?#"));
    if (authority.find(u'\\') != std::u16string_view::npos) return std::nullopt;
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
    if (!plainHost(origin.host)) return std::nullopt;
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
