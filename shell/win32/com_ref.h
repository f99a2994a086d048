// A counted COM reference that releases itself, for the C-style interfaces of webview2_abi.h.
#pragma once

#include <windows.h>

template <typename Interface>
class ComRef {
public:
    ComRef() = default;
    // Takes over a reference the caller already holds.
    explicit ComRef(Interface* adopted) : pointer_(adopted) {}
    ~ComRef() { reset(); }
    ComRef(const ComRef&) = delete;
    ComRef& operator=(const ComRef&) = delete;

    // Adds a reference of its own to `shared`.
    static ComRef share(Interface* shared) {
        if (shared) shared->lpVtbl->AddRef(shared);
        return ComRef(shared);
    }
    ComRef(ComRef&& other) noexcept : pointer_(other.pointer_) { other.pointer_ = nullptr; }
    ComRef& operator=(ComRef&& other) noexcept {
        if (this != &other) {
            reset();
            pointer_ = other.pointer_;
            other.pointer_ = nullptr;
        }
        return *this;
    }

    void reset() {
        Interface* old = pointer_;
        pointer_ = nullptr;
        if (old) old->lpVtbl->Release(old);
    }
    Interface* get() const { return pointer_; }
    // For the out-parameter of a get_ method, which hands over a reference.
    Interface** put() {
        reset();
        return &pointer_;
    }
    explicit operator bool() const { return pointer_ != nullptr; }

private:
    Interface* pointer_ = nullptr;
};
