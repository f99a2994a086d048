#include "platform/platform.h"

namespace platform {

std::optional<bool> writeGameRegistryValue(const std::string&, const std::string&,
                                           const std::string&) {
    return std::nullopt;
}

}  // namespace platform
