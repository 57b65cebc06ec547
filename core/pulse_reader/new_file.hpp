// Writing a new pulse file safely, and moving file bytes into it.
//
// A writer never writes at its destination path. `NewFile` writes into an
// unnamed file (O_TMPFILE) in the destination's folder, so on the same file
// system, and `commit` gives it its name only once every byte is on stable
// storage: fsync of the file, a link into place, fsync of the folder. Until
// then the destination is untouched, and a writer that fails, or is killed
// with SIGKILL or by the out-of-memory killer, leaves nothing behind: the
// kernel frees an unnamed file with its last descriptor. A link cannot
// replace a file, so replacing an existing destination links the file under a
// temporary name and renames that over the destination: only a kill between
// those two calls leaves the named file described below.
//
// Where the file system refuses O_TMPFILE, the file is a named temporary one,
// ".<name>.tmp-XXXXXX", beside the destination, removed on failure and renamed
// into place on success; a killed writer leaves that recognisably named file.
//
// The syncs are what make the new file durable: without the file's fsync a
// power cut after the rename can leave the new name on an empty or partial
// file; without the folder's, the name itself can be lost.
//
// `ByteCopier` moves a byte range of an input file to the end of an output
// that is written through a `BufferedWriter`: large ranges inside the kernel
// (copy_file_range, no pass through user memory), small ones through the
// writer's buffer, and everything through the buffer where the kernel cannot
// copy between the two files.
#pragma once

#include <cstdint>
#include <fcntl.h>
#include <memory>
#include <string>

#include "cancellation.hpp"
#include "pulse_reader/buffered_writer.hpp"
#include "pulse_reader/file.hpp"
#include "result.hpp"

namespace kvt {

/// What `NewFile::commit` does when the destination exists by then.
enum class ExistingDestination {
    replace,  ///< replace it atomically (rename)
    refuse,   ///< fail with "File <path> already exists" and leave it alone
};

/// How the file is held until `commit`.
enum class TemporaryFile {
    unnamed,  ///< O_TMPFILE, or a named file where the file system refuses it
    named,    ///< always a named file (the fallback, chosen outright)
};

class NewFile {
public:
    /// Creates the temporary file for `destination`, with permission bits 0666
    /// as modified by the process's file-creation mask.
    static Result<NewFile> create(const std::string& destination, TemporaryFile kind = TemporaryFile::unnamed);

    NewFile(NewFile&& other) noexcept;
    NewFile& operator=(NewFile&& other) noexcept;
    NewFile(const NewFile&) = delete;
    NewFile& operator=(const NewFile&) = delete;
    /// Removes the temporary file unless `commit` has moved it into place.
    ~NewFile();

    /// The descriptor to write through; open until `commit`.
    [[nodiscard]] int descriptor() const noexcept { return fd_.get(); }
    [[nodiscard]] const std::string& destination() const noexcept { return destination_; }
    /// Whether the file has no name until `commit` (O_TMPFILE).
    [[nodiscard]] bool unnamed() const noexcept { return pending_ && temporary_name_.empty(); }
    /// The named temporary file's path; empty for an unnamed file and once
    /// committed or discarded.
    [[nodiscard]] std::string temporary_path() const;

    /// Syncs the file to stable storage, gives it the destination's name,
    /// syncs the folder and closes the file. Everything must have been written
    /// (buffers flushed) before. A failure before the file has its name
    /// removes it and leaves the destination as it was; a failure to sync the
    /// folder afterwards is reported with the file in place.
    [[nodiscard]] Status commit(ExistingDestination existing);

private:
    NewFile(std::string destination, std::string folder, std::string name, std::string temporary_name,
            FileDescriptor folder_fd, FileDescriptor fd)
        : destination_(std::move(destination)),
          folder_(std::move(folder)),
          name_(std::move(name)),
          temporary_name_(std::move(temporary_name)),
          folder_fd_(std::move(folder_fd)),
          fd_(std::move(fd)),
          pending_(true) {}
    [[nodiscard]] Status publish_unnamed(ExistingDestination existing);
    [[nodiscard]] Status publish_named(ExistingDestination existing);
    [[nodiscard]] Status sync_folder() const;
    void discard() noexcept;

    std::string destination_;
    std::string folder_;          ///< the destination's folder as given, with its '/'; may be empty
    std::string name_;            ///< the destination's last component
    std::string temporary_name_;  ///< the named temporary file in the folder; empty for an unnamed one
    FileDescriptor folder_fd_;    ///< the folder, where every name is made
    FileDescriptor fd_;
    bool pending_ = false;  ///< created and neither committed nor discarded
};

/// "File <path> already exists": the refusal of a destination that must not
/// be replaced.
Error file_already_exists(const std::string& path);

namespace detail {

/// Moves `from` to `to` unless `to` exists, by link() and unlink(): the way to
/// refuse replacing on file systems without renameat2(RENAME_NOREPLACE).
/// Both names are taken relative to the folder `folder_fd` (AT_FDCWD: the
/// current folder). Reports "File <shown_as> already exists" (`to` by
/// default) when `to` exists.
[[nodiscard]] Status link_into_place(const std::string& from, const std::string& to, int folder_fd = AT_FDCWD,
                                     const std::string* shown_as = nullptr);

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

    /// Bytes moved between two looks at the cancellation token: a few
    /// milliseconds of copying.
    static constexpr std::uint64_t cancellation_chunk = std::uint64_t{32} << 20;

    /// Once `cancel` (if any) is cancelled, a copy stops between chunks with
    /// cancelled_error().
    explicit ByteCopier(CopyMethod method = CopyMethod::automatic, const CancellationToken* cancel = nullptr) noexcept
        : kernel_copy_usable_(method == CopyMethod::automatic), cancel_(cancel) {}

    /// Appends `length` bytes of `source` from `offset` to `writer`, whose
    /// descriptor's file position is where the writer's next byte goes. Fails
    /// with "failed to fill whole buffer" when the source ends early.
    [[nodiscard]] Status copy(const InputFile& source, std::uint64_t offset, std::uint64_t length,
                              BufferedWriter& writer, int output_fd);

    /// Whether copy_file_range is still being tried (it is given up for good
    /// after the first refusal between these two files).
    [[nodiscard]] bool kernel_copy_usable() const noexcept { return kernel_copy_usable_; }

private:
    [[nodiscard]] Status copy_through_buffer(const InputFile& source, std::uint64_t offset, std::uint64_t length,
                                             BufferedWriter& writer) const;
    bool kernel_copy_usable_;
    const CancellationToken* cancel_;
};

}  // namespace kvt
