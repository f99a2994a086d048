// The client settings file as the player's disk may hold it: any bytes, then reads and writes.
// A write never loses the token that a reader saw. (That the written value reads back is not
// checked: the reader strips form feeds and blanks around section headers and the writer does
// not, so a hand-edited header can hide a write from the reader.)
#include <cstdlib>

#include "core/ini_document.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string path = scratchFolder() + "/fuzz-settings.ini";
    writeBytes(path, bytesText(data, size));
    const std::string token = IniDocument::getValue(path, "CLIENT", "token");
    (void)IniDocument::getValue(path, "Config", "WindowMode");
    (void)IniDocument::getFlag(path, "Config", "RuninBackground");
    if (!IniDocument::setValue(path, "Config", "AutoConnect", "true")) std::abort();
    if (IniDocument::getValue(path, "CLIENT", "token") != token) std::abort();
    if (!IniDocument::setValue(path, "CLIENT", "Version", "1.2.3")) std::abort();
    if (IniDocument::getValue(path, "CLIENT", "token") != token) std::abort();
    return 0;
}
