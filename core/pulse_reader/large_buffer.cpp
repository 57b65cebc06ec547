#include "pulse_reader/large_buffer.hpp"

#include <cstdint>
#include <sys/mman.h>

namespace kvt {

namespace {

constexpr std::size_t huge_page = std::size_t{1} << 21;

}  // namespace

void advise_huge_pages(void* data, std::size_t bytes) noexcept {
    const auto start = reinterpret_cast<std::uintptr_t>(data);
    const std::uintptr_t first = (start + huge_page - 1) & ~std::uintptr_t{huge_page - 1};
    const std::uintptr_t end = (start + bytes) & ~std::uintptr_t{huge_page - 1};
    if (data == nullptr || end <= first) return;
#ifdef MADV_HUGEPAGE
    // A failure (no THP support, a locked range) leaves ordinary pages.
    (void)::madvise(reinterpret_cast<void*>(first), end - first, MADV_HUGEPAGE);
#endif
}

void* allocate_large(std::size_t bytes) noexcept {
    if (bytes < huge_page) return std::malloc(bytes == 0 ? 1 : bytes);
    if (bytes > SIZE_MAX - huge_page) return nullptr;
    // Whole huge pages: the last one would otherwise be shared with whatever
    // the allocator puts after the buffer, and get small pages.
    const std::size_t rounded = (bytes + huge_page - 1) & ~(huge_page - 1);
    void* memory = std::aligned_alloc(huge_page, rounded);
    if (memory != nullptr) advise_huge_pages(memory, rounded);
    return memory;
}

}  // namespace kvt
