// POSIX file handles owned by RAII types.
//
// `InputFile` is a file opened for reading only; `OutputFile` one opened for
// writing. Failures carry the system's text and number, for example
// "No such file or directory (os error 2)"; a read that runs out of file
// carries "failed to fill whole buffer".
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "result.hpp"

namespace kvt {

/// A failed system call with error number `error_number`, on the file `path` where known.
Error os_error(int error_number, std::string path = {});

/// The message of a read that ran out of bytes.
Error unexpected_end_of_file();

/// A file descriptor, closed when the handle is destroyed.
class FileDescriptor {
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.release()) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept;
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor();

    [[nodiscard]] int get() const noexcept { return fd_; }
    [[nodiscard]] bool is_open() const noexcept { return fd_ >= 0; }
    int release() noexcept;
    /// Closes the descriptor, reporting what close() reports.
    Status close();

private:
    int fd_ = -1;
};

/// A file opened for reading only. Reads are positional: each names its
/// absolute offset, so no call depends on where an earlier one left off.
class InputFile {
public:
    static Result<InputFile> open(const std::string& path);

    /// Reads exactly `buffer.size()` bytes starting at `offset`.
    [[nodiscard]] Status read_exact_at(std::uint64_t offset, std::span<std::byte> buffer) const;

    /// The file's current size in bytes.
    [[nodiscard]] Result<std::uint64_t> size() const;

    /// Fails with "failed to fill whole buffer", as the read itself would, when
    /// `length` bytes from `offset` run past the end of the file. Sizes read from
    /// the file are checked this way before a buffer is sized by them.
    [[nodiscard]] Status check_readable(std::uint64_t offset, std::uint64_t length) const;

    [[nodiscard]] int descriptor() const noexcept { return fd_.get(); }

private:
    explicit InputFile(FileDescriptor fd) : fd_(std::move(fd)) {}
    FileDescriptor fd_;
};

}  // namespace kvt
