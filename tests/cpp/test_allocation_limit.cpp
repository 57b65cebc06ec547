// The allocation cap that other tests rely on to show that no buffer is sized
// by a corrupt number: it must really refuse, or those tests prove nothing.
#include <cstddef>
#include <new>
#include <vector>

#include <gtest/gtest.h>

#include "allocation_limit.hpp"

namespace kvt::testing {
namespace {

/// Fills a vector of `size` bytes and reads its last byte back, so that the
/// allocation cannot be optimised away.
char fill(std::size_t size) {
    std::vector<char> bytes(size, 'x');
    volatile char* last = &bytes.back();
    *last = 'z';
    return *last;
}

TEST(AllocationLimit, RefusesOnlyRequestsAboveTheLimitWhileInForce) {
    {
        AllocationLimit limit(4096);
        EXPECT_EQ(fill(4096), 'z');
        EXPECT_FALSE(AllocationLimit::refused());
        EXPECT_THROW(fill(4097), std::bad_alloc);
        EXPECT_TRUE(AllocationLimit::refused());
        EXPECT_EQ(AllocationLimit::largest_request(), 4097U);
    }
    // No limit once it is gone.
    EXPECT_EQ(fill(std::size_t{1} << 20), 'z');
}

}  // namespace
}  // namespace kvt::testing
