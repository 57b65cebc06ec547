// Writing a new pulse file safely, and moving file bytes into it.
//
// A writer never writes at its destination path. `NewFile` creates a
// temporary file beside the destination (same folder, so the same file system)
// named ".<name>.tmp-XXXXXX"; the writer fills it and, once every byte has been
// handed to the kernel, `commit` moves it into place with one rename. Until
// then the destination is untouched: a failure, a refused input found late or
// a full disk removes the temporary file, and a file that was at the
// destination before keeps its content. A process killed in between leaves at
// most the recognisably named temporary file, never a partial pulse file.
//
// `ByteCopier` moves a byte range of an input file to the end of an output
// that is written through a `BufferedWriter`: large ranges inside the kernel
// (copy_file_range, no pass through user memory), small ones through the
// writer's buffer, and everything through the buffer where the kernel cannot
// copy between the two files.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "pulse_reader/buffered_writer.hpp"
#include "pulse_reader/file.hpp"
#include "result.hpp"

namespace kvt {

/// What `NewFile::commit` does when the destination exists by then.
enum class ExistingDestination {
    replace,  ///< replace it atomically (rename)
    refuse,   ///< fail with "File <path> already exists" and leave it alone
};

class NewFile {
public:
    /// Creates the temporary file for `destination`, with permission bits 0666
    /// as modified by the process's file-creation mask.
    static Result<NewFile> create(const std::string& destination);

    NewFile(NewFile&& other) noexcept;
    NewFile& operator=(NewFile&& other) noexcept;
    NewFile(const NewFile&) = delete;
    NewFile& operator=(const NewFile&) = delete;
    /// Removes the temporary file unless `commit` has moved it into place.
    ~NewFile();

    /// The descriptor to write through; open until `commit`.
    [[nodiscard]] int descriptor() const noexcept { return fd_.get(); }
    [[nodiscard]] const std::string& destination() const noexcept { return destination_; }
    [[nodiscard]] const std::string& temporary_path() const noexcept { return temporary_path_; }

    /// Closes the file and moves it to the destination. Everything must have
    /// been written (buffers flushed) before. On failure the temporary file is
    /// removed and the destination is as it was.
    [[nodiscard]] Status commit(ExistingDestination existing);

private:
    NewFile(std::string destination, std::string temporary_path, FileDescriptor fd)
        : destination_(std::move(destination)), temporary_path_(std::move(temporary_path)), fd_(std::move(fd)) {}
    void discard() noexcept;

    std::string destination_;
    std::string temporary_path_;  ///< empty once committed or discarded
    FileDescriptor fd_;
};

/// "File <path> already exists": the refusal of a destination that must not
/// be replaced.
Error file_already_exists(const std::string& path);

namespace detail {

/// Moves `from` to `to` unless `to` exists, by link() and unlink(): the way to
/// refuse replacing on file systems without renameat2(RENAME_NOREPLACE).
/// Reports "File <to> already exists" when `to` exists.
[[nodiscard]] Status link_into_place(const std::string& from, const std::string& to);

}  // namespace detail

/// How `ByteCopier` moves bytes; `automatic` is the production choice, the
/// others exist so that both paths can be exercised.
enum class CopyMethod {
    automatic,       ///< in the kernel for large ranges, falling back to the buffer
    through_buffer,  ///< always pread into the writer's buffer
};

class ByteCopier {
public:
    /// Ranges of at least this many bytes are copied inside the kernel; below
    /// it one copy_file_range call costs more than a copy through the buffer.
    static constexpr std::uint64_t kernel_copy_threshold = std::uint64_t{256} << 10;

    explicit ByteCopier(CopyMethod method = CopyMethod::automatic) noexcept
        : kernel_copy_usable_(method == CopyMethod::automatic) {}

    /// Appends `length` bytes of `source` from `offset` to `writer`, whose
    /// descriptor's file position is where the writer's next byte goes. Fails
    /// with "failed to fill whole buffer" when the source ends early.
    [[nodiscard]] Status copy(const InputFile& source, std::uint64_t offset, std::uint64_t length,
                              BufferedWriter& writer, int output_fd);

    /// Whether copy_file_range is still being tried (it is given up for good
    /// after the first refusal between these two files).
    [[nodiscard]] bool kernel_copy_usable() const noexcept { return kernel_copy_usable_; }

private:
    [[nodiscard]] static Status copy_through_buffer(const InputFile& source, std::uint64_t offset,
                                                    std::uint64_t length, BufferedWriter& writer);
    bool kernel_copy_usable_;
};

}  // namespace kvt
