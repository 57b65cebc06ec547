#include "allocation_limit.hpp"

#include <sys/mman.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <new>

namespace {

// 0: no limit in force.
std::atomic<std::size_t> current_limit{0};
std::atomic<std::size_t> largest{0};
std::atomic<bool> any_refused{false};

/// Whether a request of `size` bytes may go ahead.
bool allowed(std::size_t size) noexcept {
    const std::size_t limit = current_limit.load(std::memory_order_relaxed);
    if (limit == 0) return true;
    std::size_t seen = largest.load(std::memory_order_relaxed);
    while (size > seen && !largest.compare_exchange_weak(seen, size, std::memory_order_relaxed)) {}
    if (size <= limit) return true;
    any_refused.store(true, std::memory_order_relaxed);
    errno = ENOMEM;
    return false;
}

}  // namespace

namespace kvt::testing {

AllocationLimit::AllocationLimit(std::size_t limit) noexcept {
    largest.store(0);
    any_refused.store(false);
    current_limit.store(limit);
}

AllocationLimit::~AllocationLimit() { current_limit.store(0); }

std::size_t AllocationLimit::largest_request() noexcept { return largest.load(); }

bool AllocationLimit::refused() noexcept { return any_refused.load(); }

}  // namespace kvt::testing

// The linker sends every call of these functions in the test program and the
// core library here (-Wl,--wrap=NAME), and __real_NAME to the C library's.
extern "C" {
void* __real_malloc(std::size_t size);
void* __real_calloc(std::size_t count, std::size_t size);
void* __real_realloc(void* memory, std::size_t size);
void* __real_aligned_alloc(std::size_t alignment, std::size_t size);
int __real_posix_memalign(void** memory, std::size_t alignment, std::size_t size);
void* __real_mmap(void* at, std::size_t size, int protection, int flags, int fd, off_t offset);

void* __wrap_malloc(std::size_t size) { return allowed(size) ? __real_malloc(size) : nullptr; }
void* __wrap_calloc(std::size_t count, std::size_t size) {
    const std::size_t total = count * size;
    if (size != 0 && total / size != count) {
        (void)allowed(SIZE_MAX);
        errno = ENOMEM;
        return nullptr;
    }
    return allowed(total) ? __real_calloc(count, size) : nullptr;
}
void* __wrap_realloc(void* memory, std::size_t size) { return allowed(size) ? __real_realloc(memory, size) : nullptr; }
void* __wrap_aligned_alloc(std::size_t alignment, std::size_t size) {
    return allowed(size) ? __real_aligned_alloc(alignment, size) : nullptr;
}
int __wrap_posix_memalign(void** memory, std::size_t alignment, std::size_t size) {
    return allowed(size) ? __real_posix_memalign(memory, alignment, size) : ENOMEM;
}
void* __wrap_mmap(void* at, std::size_t size, int protection, int flags, int fd, off_t offset) {
    return allowed(size) ? __real_mmap(at, size, protection, flags, fd, offset) : MAP_FAILED;
}
}

// operator new goes through malloc, so through the cap; ThreadSanitizer's
// runtime has an operator new of its own (the cap then sees malloc alone).
#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define KVT_OWN_OPERATOR_NEW 1
#endif
#endif
#if !defined(KVT_OWN_OPERATOR_NEW) && !defined(__SANITIZE_THREAD__)
void* operator new(std::size_t size) {
    if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return std::malloc(size == 0 ? 1 : size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return std::malloc(size == 0 ? 1 : size); }
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete[](void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::size_t) noexcept { std::free(memory); }
#endif
