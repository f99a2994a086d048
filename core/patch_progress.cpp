#include "core/patch_progress.h"

#include <utility>

PatchProgressRecord PatchProgress;

void PatchProgressRecord::setFileLine(std::int32_t progress, std::u16string name) {
    const std::lock_guard lock(fileLineLock_);
    fileProgress.exchange(progress);
    fileName.set(std::move(name));
}

FileLine PatchProgressRecord::fileLine() const {
    const std::lock_guard lock(fileLineLock_);
    return {fileProgress.load(), fileName.get()};
}
