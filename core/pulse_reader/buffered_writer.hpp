// Buffered output to a file descriptor.
//
// A write that fits in the free space of the buffer is appended to it;
// otherwise the buffer is written out first, and a write at least as large as
// the whole buffer then goes straight to the file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "result.hpp"

namespace kvt {

inline constexpr std::size_t writer_buffer_size = std::size_t{1} << 20;

class BufferedWriter {
public:
    /// Writes to `fd`, which the caller keeps open for the writer's lifetime;
    /// failures to write name the file as `path`.
    explicit BufferedWriter(int fd, std::size_t capacity = writer_buffer_size, std::string path = {});

    [[nodiscard]] Status write(std::span<const std::byte> bytes);
    /// Writes `count` zero bytes.
    [[nodiscard]] Status write_zeros(std::uint64_t count);
    /// Writes out whatever the buffer holds.
    [[nodiscard]] Status flush();
    /// Bytes handed to the writer so far (written out or buffered).
    [[nodiscard]] std::uint64_t position() const noexcept { return written_ + used_; }

    /// The free tail of the buffer, for callers that fill it in place (a read
    /// straight into the buffer saves a copy); `commit` then claims the bytes.
    [[nodiscard]] std::span<std::byte> free_space() noexcept { return {buffer_.get() + used_, capacity_ - used_}; }
    void commit(std::size_t count) noexcept { used_ += count; }
    [[nodiscard]] std::size_t capacity() const noexcept { return capacity_; }

    /// Counts `count` bytes that the caller wrote to the descriptor itself
    /// (after `flush`, at the descriptor's file position), so that `position`
    /// keeps naming the file position. Used where data moves file to file
    /// inside the kernel without passing through the buffer.
    void account_direct_write(std::uint64_t count) noexcept { written_ += count; }

private:
    [[nodiscard]] Status write_out(std::span<const std::byte> bytes) const;

    int fd_;
    std::string path_;
    std::size_t capacity_;
    std::unique_ptr<std::byte[]> buffer_;
    std::size_t used_ = 0;
    std::uint64_t written_ = 0;
};

/// Writes all of `bytes` to `fd`, retrying short writes.
[[nodiscard]] Status write_all_to(int fd, std::span<const std::byte> bytes);

}  // namespace kvt
