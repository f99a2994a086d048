// A text that one thread replaces while others read it. Readers take the current value's shared
// pointer under a lock held only for that copy, so they never see a torn or freed string and never
// wait for more than a pointer copy. (The lock-free std::atomic<std::shared_ptr> of GCC 12 unlocks
// its loads without release ordering, a race that ThreadSanitizer reports.)
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <utility>

template <class Text>
class SharedString {
public:
    Text get() const {
        std::shared_ptr<const Text> current;
        {
            const std::lock_guard lock(mutex_);
            current = value_;
        }
        return current ? *current : Text{};
    }
    void set(Text text) {
        auto next = std::make_shared<const Text>(std::move(text));
        std::shared_ptr<const Text> previous;
        {
            const std::lock_guard lock(mutex_);
            previous = std::exchange(value_, std::move(next));
        }
        // The old text is freed here, outside the lock.
    }

private:
    mutable std::mutex mutex_;
    std::shared_ptr<const Text> value_;
};

using SharedText = SharedString<std::string>;
using SharedWideText = SharedString<std::u16string>;
