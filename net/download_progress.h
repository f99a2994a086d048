// The download's progress callback: percentage and kilobyte line into PatchProgress.
#pragma once

#include <cstdint>
#include <string>

// One transfer's progress (libcurl's download pair) for the page. Sizes below 175 bytes (libcurl
// reports 0 until the length is known) publish nothing. Several transfers may run at once: the
// file line follows one of them, `transfer`, until it ends or stops moving for a second, so the
// percentage always belongs to the name beside it. Always returns 0: progress never cancels a
// transfer.
int publishDownloadProgress(const void* transfer, const std::u16string& name, std::int64_t expected,
                            std::int64_t received);

// A transfer begins: its name takes the file line at 0 % unless another transfer is moving there.
void announceDownload(const void* transfer, const std::u16string& name);

// The transfer has ended: another may take the file line.
void releaseDownloadProgress(const void* transfer);
