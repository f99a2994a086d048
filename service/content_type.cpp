#include "service/content_type.h"

#include <algorithm>
#include <cctype>
#include <map>

std::string contentTypeFor(const std::filesystem::path& file) {
    static const std::map<std::string, std::string> types = {
        {".ini", "text/plain; charset=utf-8"},
        {".txt", "text/plain; charset=utf-8"},
        {".html", "text/html; charset=utf-8"},
        {".css", "text/css; charset=utf-8"},
        {".js", "text/javascript; charset=utf-8"},
        {".json", "application/json"},
        {".svg", "image/svg+xml"},
        {".png", "image/png"},
        {".ico", "image/x-icon"},
        {".zip", "application/zip"},
        {".exe", "application/vnd.microsoft.portable-executable"},
    };
    std::string extension = file.extension().string();
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    const auto found = types.find(extension);
    return found == types.end() ? "application/octet-stream" : found->second;
}
