#pragma once

// One block of memory for a whole file image. Large blocks start on a huge-page boundary and are
// asked to live in huge pages: filling millions of small pages one fault at a time costs more
// than copying the data itself.

#include <cstddef>

namespace posix {

class LargeBuffer {
public:
    LargeBuffer() = default;
    LargeBuffer(const LargeBuffer&) = delete;
    LargeBuffer& operator=(const LargeBuffer&) = delete;
    LargeBuffer(LargeBuffer&& other) noexcept { swap(other); }
    LargeBuffer& operator=(LargeBuffer&& other) noexcept {
        swap(other);
        return *this;
    }
    ~LargeBuffer() { reset(); }

    // False when the memory can't be had. The block is zero-filled and at least one byte long.
    bool allocate(size_t nBytes);
    void reset();
    char* get() const { return data_; }

private:
    void swap(LargeBuffer& other) noexcept;

    void* base_ = nullptr;
    size_t mapped_ = 0;
    char* data_ = nullptr;
};

}  // namespace posix
