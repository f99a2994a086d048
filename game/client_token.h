// The token that identifies this installation to the web service.
#pragma once

#include <string>

// The token stored in the client settings file; made and stored on the first start.
std::string loadClientToken();

// A new token: 32-bit FNV-1a of the local time text, "QZTKW" and 16 secure random bytes, as
// lower-case hexadecimal without leading zeros.
std::string makeClientToken();
