#include "patch/update_signatures.h"

extern const char* const builtInUpdateKey = ORV_UPDATE_PUBLIC_KEY;
