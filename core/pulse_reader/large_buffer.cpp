#include "pulse_reader/large_buffer.hpp"

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <type_traits>
#include <sys/mman.h>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace kvt {

namespace {

constexpr std::size_t huge_page = large_buffer_bytes;
/// Large buffers start at one of `staggers` offsets, `stagger_step` bytes
/// apart, from the start of their memory.
constexpr std::size_t stagger_step = 256;
constexpr std::size_t staggers = 16;

/// Released large buffers waiting for reuse, oldest first. It has a trivial
/// destructor, so that it stays usable while the process exits, when NumPy may
/// still release columns; whatever it keeps then goes back with the process.
class KeptBuffers {
public:
    /// A kept buffer of at least `bytes` and at most twice `bytes`, the
    /// smallest there is, or null.
    void* take(std::size_t bytes, std::size_t& capacity) noexcept {
        const std::lock_guard lock(mutex_);
        std::size_t best = count_;
        for (std::size_t i = 0; i < count_; ++i) {
            const std::size_t size = kept_[i].capacity;
            if (size >= bytes && size / 2 <= bytes && (best == count_ || size < kept_[best].capacity)) best = i;
        }
        if (best == count_) return nullptr;
        void* memory = kept_[best].memory;
        capacity = kept_[best].capacity;
        remove(best);
        return memory;
    }

    /// Keeps `memory`, first dropping the oldest buffers when the bound would
    /// be passed; gives back what is to be freed instead (maybe `memory`).
    template <class Free>
    void keep(void* memory, std::size_t capacity, Free&& free) noexcept {
        if (capacity > large_buffer_keep_bytes) {
            free(memory, capacity);
            return;
        }
        std::array<Kept, slots> dropped{};
        std::size_t dropped_count = 0;
        {
            const std::lock_guard lock(mutex_);
            while (count_ > 0 && (count_ == slots || kept_bytes_ + capacity > large_buffer_keep_bytes)) {
                dropped[dropped_count++] = kept_[0];
                remove(0);
            }
            kept_[count_++] = {memory, capacity};
            kept_bytes_ += capacity;
        }
        // Outside the lock: unmapping megabytes takes a while.
        for (std::size_t i = 0; i < dropped_count; ++i) free(dropped[i].memory, dropped[i].capacity);
    }

private:
    static constexpr std::size_t slots = 32;
    struct Kept {
        void* memory;
        std::size_t capacity;
    };

    void remove(std::size_t i) noexcept {
        kept_bytes_ -= kept_[i].capacity;
        for (std::size_t k = i + 1; k < count_; ++k) kept_[k - 1] = kept_[k];
        --count_;
    }

    std::mutex mutex_;
    std::array<Kept, slots> kept_{};
    std::size_t count_ = 0;
    std::size_t kept_bytes_ = 0;
};

static_assert(std::is_trivially_destructible_v<KeptBuffers>);

constinit KeptBuffers kept_buffers;

/// `bytes` (whole huge pages) mapped on a huge-page boundary, or null. Large
/// buffers are mapped straight from the kernel rather than taken from the
/// allocator: in its heap, freed megabytes between live allocations stay with
/// the process, and freeing a mapped block of its own makes the allocator put
/// later blocks of that size in its heap.
void* map_whole(std::size_t bytes) noexcept {
    void* mapped = ::mmap(nullptr, bytes + huge_page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) return nullptr;
    // Unmap what lies before the first boundary and after the buffer.
    const auto start = reinterpret_cast<std::uintptr_t>(mapped);
    const std::uintptr_t first = (start + huge_page - 1) & ~std::uintptr_t{huge_page - 1};
    if (first != start) ::munmap(mapped, first - start);
    const std::uintptr_t end = start + bytes + huge_page;
    if (end != first + bytes) ::munmap(reinterpret_cast<void*>(first + bytes), end - first - bytes);
    return reinterpret_cast<void*>(first);
}

void unmap_whole(void* memory, std::size_t bytes) noexcept { ::munmap(memory, bytes); }

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

void* allocate_large(std::size_t bytes, std::size_t& capacity) noexcept {
    if (bytes == 0) bytes = 1;
    if (bytes < huge_page) {
        capacity = bytes;
        return std::malloc(bytes);
    }
    if (bytes > SIZE_MAX - 2 * huge_page) return nullptr;
    // Buffers start a few cache lines apart from one another: filled side by
    // side (a table's columns), buffers that all started on a 2 MiB boundary
    // would have their writes compete for the same cache sets.
    // Room for the largest stagger, so that a kept buffer serves a request of
    // its size whatever the stagger.
    static std::atomic<std::size_t> next_stagger{0};
    const std::size_t stagger = (next_stagger.fetch_add(1, std::memory_order_relaxed) % staggers) * stagger_step;
    const std::size_t needed = bytes + (staggers - 1) * stagger_step;
    std::size_t whole = 0;
    void* memory = kept_buffers.take(needed, whole);
    if (memory == nullptr) {
        // Whole huge pages: the last one would otherwise be shared with
        // whatever the allocator puts after the buffer, and get small pages.
        whole = (needed + huge_page - 1) & ~(huge_page - 1);
        memory = map_whole(whole);
        if (memory == nullptr) return nullptr;
        advise_huge_pages(memory, whole);
    }
    capacity = whole - stagger;  // at least `bytes`, so at least a huge page
    return static_cast<std::byte*>(memory) + stagger;
}

void release_large(void* memory, std::size_t capacity) noexcept {
    if (memory == nullptr) return;
    if (capacity < huge_page) {
        std::free(memory);
        return;
    }
    // A large buffer begins less than a huge page after its allocation.
    const auto address = reinterpret_cast<std::uintptr_t>(memory);
    const std::size_t stagger = address & (huge_page - 1);
    void* whole = static_cast<std::byte*>(memory) - stagger;
    kept_buffers.keep(whole, capacity + stagger, unmap_whole);
}

void give_back_free_memory() noexcept {
#if defined(__GLIBC__)
    // A fraction of a millisecond for a heap of a few hundred megabytes.
    (void)::malloc_trim(0);
#endif
}

}  // namespace kvt
