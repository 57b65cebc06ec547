// A cap on single allocations, for tests of code that must not size buffers
// by untrusted numbers.
//
// While an `AllocationLimit` is alive, every request for more than `limit`
// bytes is refused and recorded, whichever path it takes: operator new,
// malloc, calloc, realloc, aligned_alloc, posix_memalign or mmap (the test
// program is linked with these functions wrapped). A fault that would try to
// allocate gigabytes then fails the test instead of the machine.
#pragma once

#include <cstddef>

namespace kvt::testing {

class AllocationLimit {
public:
    explicit AllocationLimit(std::size_t limit) noexcept;
    AllocationLimit(const AllocationLimit&) = delete;
    AllocationLimit& operator=(const AllocationLimit&) = delete;
    ~AllocationLimit();

    /// The largest request made while the limit was in force.
    [[nodiscard]] static std::size_t largest_request() noexcept;
    /// Whether some request was refused.
    [[nodiscard]] static bool refused() noexcept;
};

}  // namespace kvt::testing
