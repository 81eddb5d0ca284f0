// Work buffers for the numeric kernels. Plain C++: nothing here knows Python.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <new>

namespace molvak {

// Thrown when a work buffer cannot be had; the C-API boundary turns it into
// MemoryError "Could not allocate memory for <what>".
class AllocFailure : public std::bad_alloc {
public:
    explicit AllocFailure(const char* what) noexcept : what_(what) {}
    const char* what() const noexcept override { return what_; }

private:
    const char* what_;
};

// a * b, or false when the product does not fit in a size_t.
inline bool checked_mul(std::size_t a, std::size_t b, std::size_t* out) noexcept {
    if (a != 0 && b > std::numeric_limits<std::size_t>::max() / a) return false;
    *out = a * b;
    return true;
}

// An uninitialised, 64-byte aligned array of n trivially copyable elements,
// freed on scope exit. The size arithmetic is checked before anything is
// requested, so a huge n fails cleanly instead of wrapping around.
template <class T>
class Buffer {
public:
    Buffer() noexcept = default;
    Buffer(std::size_t n, const char* what) { reset(n, what); }
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    Buffer(Buffer&& o) noexcept : p_(o.p_), n_(o.n_) { o.p_ = nullptr; o.n_ = 0; }
    Buffer& operator=(Buffer&& o) noexcept {
        if (this != &o) {
            std::free(p_);
            p_ = o.p_; n_ = o.n_;
            o.p_ = nullptr; o.n_ = 0;
        }
        return *this;
    }
    ~Buffer() { std::free(p_); }

    void reset(std::size_t n, const char* what) {
        std::free(p_);
        p_ = nullptr;
        n_ = 0;
        std::size_t bytes = 0;
        if (!checked_mul(n == 0 ? 1 : n, sizeof(T), &bytes) ||
            bytes > std::numeric_limits<std::size_t>::max() - 63)
            throw AllocFailure(what);
        bytes = (bytes + 63) / 64 * 64;
        void* p = std::aligned_alloc(64, bytes);
        if (!p) throw AllocFailure(what);
        p_ = static_cast<T*>(p);
        n_ = n;
    }

    T* data() noexcept { return p_; }
    const T* data() const noexcept { return p_; }
    std::size_t size() const noexcept { return n_; }
    T& operator[](std::size_t i) noexcept { return p_[i]; }
    const T& operator[](std::size_t i) const noexcept { return p_[i]; }

private:
    T* p_ = nullptr;
    std::size_t n_ = 0;
};

}  // namespace molvak
