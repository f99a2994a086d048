// The key of the signed end-to-end run, in place of the build's own.
#include "patch/update_signatures.h"

extern const char* const builtInUpdateKey = ORV_E2E_UPDATE_KEY;
