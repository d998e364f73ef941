// A move-only owner for a platform handle: the handle is closed exactly once, when its
// owner goes out of scope or is reset, and never outlives the scope that made it.
#pragma once

#include <utility>

namespace halvane::platform {

template <typename Handle, auto Close, Handle Invalid = Handle{}>
class UniqueHandle {
public:
    UniqueHandle() = default;
    explicit UniqueHandle(Handle handle) noexcept : handle_(handle) {}
    UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    ~UniqueHandle() { reset(); }

    Handle get() const noexcept { return handle_; }
    explicit operator bool() const noexcept { return handle_ != Invalid; }
    Handle release() noexcept { return std::exchange(handle_, Invalid); }
    void reset(Handle handle = Invalid) noexcept {
        Handle old = std::exchange(handle_, handle);
        if (old != Invalid) Close(old);
    }
    // For out-parameters: drops the current handle and exposes the slot.
    Handle* put() noexcept {
        reset();
        return &handle_;
    }

private:
    Handle handle_ = Invalid;
};

}  // namespace halvane::platform
