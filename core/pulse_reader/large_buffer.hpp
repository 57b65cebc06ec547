// Large buffers.
//
// A block of a million records, or a column of a million values, is megabytes
// that the allocator takes fresh from the kernel; first touching it 4 KiB page
// by 4 KiB page can cost several times more than filling it, and even on huge
// pages the kernel must clear every page before handing it over. So buffers
// of 2 MiB and more are whole transparent huge pages on 2 MiB boundaries, and
// when one is released it is kept, up to a bound, for the next request of
// about its size: reading aperture after aperture then reuses memory that is
// already mapped. `reserve_large` gives a vector's room the huge-page advice.
// Where the kernel offers no huge pages the advice is ignored.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

namespace kvt {

/// Buffers of at least this many bytes are large: on huge pages, and kept
/// for reuse once released.
inline constexpr std::size_t large_buffer_bytes = std::size_t{1} << 21;

/// At most this many bytes of released large buffers are kept for reuse: the
/// library lives in someone's analysis process, and once its results are
/// released it keeps no more than 16 MiB of memory, this included.
inline constexpr std::size_t large_buffer_keep_bytes = std::size_t{12} << 20;

/// At least `bytes` bytes (at least one) of uninitialised memory, aligned for
/// any type; on huge pages and drawn from the kept buffers when large. Null
/// when none can be had. `capacity` receives the usable size, to be passed
/// back to release_large.
[[nodiscard]] void* allocate_large(std::size_t bytes, std::size_t& capacity) noexcept;

/// Releases memory from allocate_large, given its capacity; null is ignored.
void release_large(void* memory, std::size_t capacity) noexcept;

/// Owns memory from allocate_large.
class LargeBuffer {
public:
    LargeBuffer() = default;
    /// At least `bytes` bytes; empty when the memory cannot be had.
    explicit LargeBuffer(std::size_t bytes) noexcept {
        std::size_t capacity = 0;
        data_ = allocate_large(bytes, capacity);
        if (data_ != nullptr) capacity_ = capacity;
    }
    LargeBuffer(LargeBuffer&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)), capacity_(std::exchange(other.capacity_, 0)) {}
    LargeBuffer& operator=(LargeBuffer&& other) noexcept {
        if (this != &other) {
            release_large(data_, capacity_);
            data_ = std::exchange(other.data_, nullptr);
            capacity_ = std::exchange(other.capacity_, 0);
        }
        return *this;
    }
    LargeBuffer(const LargeBuffer&) = delete;
    LargeBuffer& operator=(const LargeBuffer&) = delete;
    ~LargeBuffer() { release_large(data_, capacity_); }

    [[nodiscard]] std::byte* data() const noexcept { return static_cast<std::byte*>(data_); }
    template <class T>
    [[nodiscard]] T* as() const noexcept {
        return static_cast<T*>(data_);
    }
    [[nodiscard]] std::size_t capacity() const noexcept { return capacity_; }
    explicit operator bool() const noexcept { return data_ != nullptr; }

private:
    void* data_ = nullptr;
    std::size_t capacity_ = 0;
};

/// Hands the allocator's free memory back to the kernel. Freed blocks between
/// live ones stay with the process otherwise (in the heap of each thread that
/// allocated them), however long it runs; after a read of many megabytes, or
/// when a file is closed, that would be the module's memory kept for good.
void give_back_free_memory() noexcept;

/// Asks for huge pages on the whole 2 MiB pages within [data, data + bytes).
void advise_huge_pages(void* data, std::size_t bytes) noexcept;

/// Reserves room for `count` elements in the empty vector `out` and advises
/// huge pages on that room.
template <class T>
void reserve_large(std::vector<T>& out, std::size_t count) {
    out.reserve(count);
    advise_huge_pages(out.data(), out.capacity() * sizeof(T));
}

}  // namespace kvt
