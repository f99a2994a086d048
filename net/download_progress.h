// The download's progress callback: percentage and kilobyte line into PatchProgress.
#pragma once

#include <cstdint>

// libcurl's transfer-information callback; only the download pair is used. Sizes below 175
// bytes (libcurl reports 0 until the length is known) publish nothing. Always returns 0: progress
// never cancels a transfer.
int publishDownloadProgress(void* unused, std::int64_t expected, std::int64_t received,
                            std::int64_t uploadExpected, std::int64_t uploadSent);
