// The window lets only the web service's pages command the launcher, by the origin that
// webOrigin reads from a URL. For any http or https URL that libcurl's own parser accepts, both
// must name the same scheme, host and port; webOrigin may refuse a URL outright, which only ever
// keeps a page out.
#include <curl/curl.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "fuzz/fuzz_support.h"
#include "web/web_origin.h"

namespace {

struct UrlDeleter {
    void operator()(CURLU* url) const { curl_url_cleanup(url); }
};

std::string part(CURLU* url, CURLUPart which, unsigned flags = 0) {
    char* text = nullptr;
    if (curl_url_get(url, which, &text, flags) != CURLUE_OK || !text) return {};
    std::string value(text);
    curl_free(text);
    return value;
}

std::string lower(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text = bytesText(data, size);
    std::u16string wide;
    for (const unsigned char c : text) wide += static_cast<char16_t>(c);
    const std::optional<WebOrigin> ours = webOrigin(wide);
    (void)urlScheme(wide);
    if (ours) (void)originText(*ours);
    if (text.find('\0') != std::string::npos) return 0;

    const std::unique_ptr<CURLU, UrlDeleter> url(curl_url());
    if (curl_url_set(url.get(), CURLUPART_URL, text.c_str(), 0) != CURLUE_OK) return 0;
    const std::string scheme = lower(part(url.get(), CURLUPART_SCHEME));
    if (scheme != "http" && scheme != "https") return 0;
    if (!ours) return 0;
    const std::string port = part(url.get(), CURLUPART_PORT, CURLU_DEFAULT_PORT);
    if (ours->scheme != scheme || ours->host != lower(part(url.get(), CURLUPART_HOST)) ||
        port.empty() || ours->port != std::atoi(port.c_str()))
        std::abort();
    return 0;
}
