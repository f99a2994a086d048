// Which site a document belongs to: the scheme, host and port of its URL, as browsers tell sites
// apart. Only the web service's own pages may command the launcher or stay in its window.
#pragma once

#include <optional>
#include <string>
#include <string_view>

struct WebOrigin {
    std::string scheme;  // "http" or "https"
    std::string host;    // lower case; an IPv6 address keeps its brackets
    int port = 0;        // the scheme's default when the URL names none
    bool operator==(const WebOrigin&) const = default;
};

// The origin of an http or https URL. Nothing for every other scheme (about:, data:, blob:,
// file:, javascript:, ...) and for an authority that does not read cleanly: such a document is
// never taken for the web service's.
std::optional<WebOrigin> webOrigin(std::u16string_view url);

// "scheme://host", with ":port" when it is not the scheme's default.
std::string originText(const WebOrigin& origin);

// The URL's scheme in lower case; empty when it has none.
std::string urlScheme(std::u16string_view url);

// True when the document at `url` has exactly the scheme, host and port of `webServiceUrl`.
bool isWebServiceOrigin(std::u16string_view url);
