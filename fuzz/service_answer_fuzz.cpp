// The web service's JSON answers for settings and account: any body is either read into string
// members or refused, never thrown out of the reader.
#include <cstdlib>

#include "fuzz/fuzz_support.h"
#include "game/service_answer.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string body = nullQuotedFalse(bytesText(data, size));
    if (body.find("\"false\"") != std::string::npos) std::abort();
    const auto settings = readStringMembers(
        body,
        {"error", "windowmode", "autoconnect", "update_lanlist", "use4gbvram", "runinbackground"});
    if (settings && settings->size() != 6) std::abort();
    const auto account = readStringMembers(body, {"error", "MPAccountName", "MPAccountNameSig"});
    if (account) {
        if (account->size() != 3) std::abort();
        for (const auto& value : *account) (void)breaksStoredLine(value);
    }
    return 0;
}
