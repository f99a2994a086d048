#pragma once

#include <filesystem>
#include <string>

// The Content-Type for a served file, chosen by its extension.
std::string contentTypeFor(const std::filesystem::path& file);
