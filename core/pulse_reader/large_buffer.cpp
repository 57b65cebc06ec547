#include "pulse_reader/large_buffer.hpp"

#include <cstdint>
#include <sys/mman.h>

namespace kvt {

void advise_huge_pages(void* data, std::size_t bytes) noexcept {
    constexpr std::uintptr_t huge_page = std::uintptr_t{1} << 21;
    const auto start = reinterpret_cast<std::uintptr_t>(data);
    const std::uintptr_t first = (start + huge_page - 1) & ~(huge_page - 1);
    const std::uintptr_t end = (start + bytes) & ~(huge_page - 1);
    if (data == nullptr || end <= first) return;
#ifdef MADV_HUGEPAGE
    // A failure (no THP support, a locked range) leaves ordinary pages.
    (void)::madvise(reinterpret_cast<void*>(first), end - first, MADV_HUGEPAGE);
#endif
}

}  // namespace kvt
