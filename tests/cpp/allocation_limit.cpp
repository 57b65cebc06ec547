#include "allocation_limit.hpp"

#include <atomic>
#include <cstdlib>
#include <new>

namespace kvt::testing {

namespace {

// 0: no limit in force.
std::atomic<std::size_t> current_limit{0};
std::atomic<std::size_t> largest{0};
std::atomic<bool> any_refused{false};

void* allocate(std::size_t size) {
    if (const std::size_t limit = current_limit.load(std::memory_order_relaxed); limit != 0) {
        std::size_t seen = largest.load(std::memory_order_relaxed);
        while (size > seen && !largest.compare_exchange_weak(seen, size, std::memory_order_relaxed)) {
        }
        if (size > limit) {
            any_refused.store(true, std::memory_order_relaxed);
            throw std::bad_alloc();
        }
    }
    // operator new must return a unique pointer even for zero bytes.
    if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
    throw std::bad_alloc();
}

}  // namespace

AllocationLimit::AllocationLimit(std::size_t limit) noexcept {
    largest.store(0);
    any_refused.store(false);
    current_limit.store(limit);
}

AllocationLimit::~AllocationLimit() { current_limit.store(0); }

std::size_t AllocationLimit::largest_request() noexcept { return largest.load(); }

bool AllocationLimit::refused() noexcept { return any_refused.load(); }

}  // namespace kvt::testing

// Replacements of the global allocation functions (all plain and nothrow forms
// of new and delete, so that every allocation and its release meet in malloc
// and free). The over-aligned forms are left to the library.
void* operator new(std::size_t size) { return kvt::testing::allocate(size); }
void* operator new[](std::size_t size) { return kvt::testing::allocate(size); }

void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return kvt::testing::allocate(size);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return kvt::testing::allocate(size);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete[](void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete(void* memory, const std::nothrow_t&) noexcept { std::free(memory); }
void operator delete[](void* memory, const std::nothrow_t&) noexcept { std::free(memory); }
