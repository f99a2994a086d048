#include "core/patch_progress.h"

PatchProgressRecord PatchProgress;
