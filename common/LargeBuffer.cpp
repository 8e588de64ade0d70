#include "LargeBuffer.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <utility>

namespace posix {

bool LargeBuffer::allocate(size_t nBytes) {
    reset();
    constexpr size_t kHuge = size_t{2} << 20;
    const bool huge = nBytes >= kHuge;
    // Room to start the block on a huge-page boundary; the unused part is never touched.
    const size_t mapped = std::max<size_t>(nBytes, 1) + (huge ? kHuge : 0);
    void* base =
        ::mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base == MAP_FAILED) {
        return false;
    }
    base_ = base;
    mapped_ = mapped;
    auto start = reinterpret_cast<uintptr_t>(base);
    if (huge) {
        start = (start + kHuge - 1) & ~uintptr_t{kHuge - 1};
        ::madvise(reinterpret_cast<void*>(start), nBytes, MADV_HUGEPAGE);  // advice only
    }
    data_ = reinterpret_cast<char*>(start);
    return true;
}

void LargeBuffer::reset() {
    if (base_ != nullptr) {
        ::munmap(base_, mapped_);
    }
    base_ = nullptr;
    mapped_ = 0;
    data_ = nullptr;
}

void LargeBuffer::swap(LargeBuffer& other) noexcept {
    std::swap(base_, other.base_);
    std::swap(mapped_, other.mapped_);
    std::swap(data_, other.data_);
}

}  // namespace posix
