// A text that one thread replaces while others read it. Readers copy the current value out of a
// shared pointer taken with an atomic load, so they never see a torn or freed string and never
// wait for a writer.
#pragma once

#include <atomic>
#include <memory>
#include <string>

template <class Text>
class SharedString {
public:
    Text get() const {
        const auto current = value_.load();
        return current ? *current : Text{};
    }
    void set(Text text) { value_.store(std::make_shared<const Text>(std::move(text))); }

private:
    std::atomic<std::shared_ptr<const Text>> value_;
};

using SharedText = SharedString<std::string>;
using SharedWideText = SharedString<std::u16string>;
