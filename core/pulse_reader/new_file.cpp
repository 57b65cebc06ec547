#include "pulse_reader/new_file.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <sys/random.h>
#include <utility>
#include <unistd.h>

namespace kvt {

namespace {

/// Longest part of the destination's name kept in the temporary file's name:
/// with the dot and ".tmp-XXXXXX" it stays below the usual 255-byte limit.
constexpr std::size_t max_name_in_temporary = 200;

std::string random_suffix() {
    static constexpr std::string_view alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    std::array<unsigned char, 6> noise{};
    if (::getrandom(noise.data(), noise.size(), GRND_NONBLOCK) != static_cast<ssize_t>(noise.size())) {
        // No entropy yet (early boot) or no getrandom: any varying value will
        // do, since O_EXCL settles collisions.
        static std::atomic<std::uint64_t> counter{0};
        auto ticks = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
        ticks ^= static_cast<std::uint64_t>(::getpid()) << 32 ^ (counter.fetch_add(1) + 1) * 0x9E3779B97F4A7C15ULL;
        for (auto& byte : noise) {
            byte = static_cast<unsigned char>(ticks);
            ticks = ticks >> 8 | ticks << 56;
            ticks *= 0xFF51AFD7ED558CCDULL;
        }
    }
    std::string suffix;
    for (const unsigned char byte : noise) suffix += alphabet[byte % alphabet.size()];
    return suffix;
}

/// Errors with which copy_file_range says that it cannot copy between these
/// two files at all (other file systems, unsupported by the file system, no
/// such system call), as opposed to a failure of the copy itself.
bool kernel_copy_refused(int error_number) {
    return error_number == EXDEV || error_number == EINVAL || error_number == ENOSYS || error_number == EOPNOTSUPP ||
           error_number == ENOTSUP || error_number == EBADF;
}

}  // namespace

Error file_already_exists(const std::string& path) {
    return Error(ErrorCode::already_exists, "File " + path + " already exists", EEXIST, path);
}

namespace {

/// A fresh name ".<name>.tmp-XXXXXX" for a temporary file beside `name`.
std::string temporary_name_for(const std::string& name) {
    std::string temporary = ".";
    temporary.append(name, 0, std::min(name.size(), max_name_in_temporary));
    temporary += ".tmp-";
    temporary += random_suffix();
    return temporary;
}

/// Errors with which open(O_TMPFILE) says that this kernel or file system
/// makes no unnamed files (EISDIR: kernels that predate the flag see only its
/// O_DIRECTORY part), as opposed to a failure that a named file would meet too.
bool unnamed_file_refused(int error_number) {
    return error_number == EOPNOTSUPP || error_number == ENOTSUP || error_number == EISDIR || error_number == EINVAL;
}

/// Opens the folder in which the new file's names are made. A folder that
/// may be written but not read (mode -wx) cannot be opened for reading, and so
/// cannot be synced; it is reached by a path descriptor then.
Result<FileDescriptor> open_folder(const std::string& folder) {
    const char* path = folder.empty() ? "." : folder.c_str();
    int fd = -1;
    do {
        fd = ::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0 && errno == EACCES) fd = ::open(path, O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return os_error(errno);
    return FileDescriptor(fd);
}

/// Makes `name` in `folder_fd` a link to the open, possibly unnamed file
/// `fd`. Returns 0 or the error number.
int link_open_file(int fd, int folder_fd, const std::string& name) {
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    if (::linkat(AT_FDCWD, self.c_str(), folder_fd, name.c_str(), AT_SYMLINK_FOLLOW) == 0) return 0;
    const int error_number = errno;
    if (error_number != ENOENT) return error_number;
    // No /proc (a chroot, a bare container): AT_EMPTY_PATH links the
    // descriptor itself where the process may (CAP_DAC_READ_SEARCH).
    if (::linkat(fd, "", folder_fd, name.c_str(), AT_EMPTY_PATH) == 0) return 0;
    return errno == EEXIST ? EEXIST : error_number;
}

}  // namespace

Result<NewFile> NewFile::create(const std::string& destination, TemporaryFile kind) {
    if (destination.find('\0') != std::string::npos) {
        return Error(ErrorCode::invalid_argument, "file name contained an unexpected NUL byte");
    }
    const auto slash = destination.rfind('/');
    std::string folder = slash == std::string::npos ? std::string() : destination.substr(0, slash + 1);
    std::string name = slash == std::string::npos ? destination : destination.substr(slash + 1);
    // What open(O_CREAT) would report for these names.
    if (destination.empty()) return os_error(ENOENT);
    if (name.empty() || name == "." || name == "..") return os_error(EISDIR, destination);

    auto folder_fd = open_folder(folder);
    if (!folder_fd) return std::move(folder_fd).error().concerning(destination);

    if (kind == TemporaryFile::unnamed) {
        int fd = -1;
        do {
            fd = ::openat(folder_fd->get(), ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
        } while (fd < 0 && errno == EINTR);
        if (fd >= 0) {
            return NewFile(destination, std::move(folder), std::move(name), std::string(), std::move(folder_fd).value(),
                           FileDescriptor(fd));
        }
        if (!unnamed_file_refused(errno)) return os_error(errno, destination);
    }

    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string temporary = temporary_name_for(name);
        const int fd = ::openat(folder_fd->get(), temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            return NewFile(destination, std::move(folder), std::move(name), std::move(temporary),
                           std::move(folder_fd).value(), FileDescriptor(fd));
        }
        if (errno != EEXIST && errno != EINTR) return os_error(errno, destination);
    }
    return os_error(EEXIST, destination);
}

NewFile::NewFile(NewFile&& other) noexcept
    : destination_(std::move(other.destination_)),
      folder_(std::move(other.folder_)),
      name_(std::move(other.name_)),
      temporary_name_(std::exchange(other.temporary_name_, std::string())),
      folder_fd_(std::move(other.folder_fd_)),
      fd_(std::move(other.fd_)),
      pending_(std::exchange(other.pending_, false)) {}

NewFile& NewFile::operator=(NewFile&& other) noexcept {
    if (this != &other) {
        discard();
        destination_ = std::move(other.destination_);
        folder_ = std::move(other.folder_);
        name_ = std::move(other.name_);
        temporary_name_ = std::exchange(other.temporary_name_, std::string());
        folder_fd_ = std::move(other.folder_fd_);
        fd_ = std::move(other.fd_);
        pending_ = std::exchange(other.pending_, false);
    }
    return *this;
}

NewFile::~NewFile() { discard(); }

std::string NewFile::temporary_path() const {
    return pending_ && !temporary_name_.empty() ? folder_ + temporary_name_ : std::string();
}

void NewFile::discard() noexcept {
    // Closing an unnamed file's last descriptor frees it.
    (void)fd_.close();
    if (pending_ && !temporary_name_.empty()) ::unlinkat(folder_fd_.get(), temporary_name_.c_str(), 0);
    temporary_name_.clear();
    pending_ = false;
}

Status NewFile::commit(ExistingDestination existing) {
    if (!pending_) return Error(ErrorCode::internal, "The new file has already been moved into place or removed");
    // fsync reports every write-back failure (a full disk on a network file
    // system included); once it has succeeded, close() has nothing to add,
    // so its result is not looked at.
    if (::fsync(fd_.get()) != 0) {
        const int error_number = errno;
        discard();
        return os_error(error_number, destination_);
    }
    Status published;
    if (temporary_name_.empty()) {
        published = publish_unnamed(existing);  // links through the open descriptor
        (void)fd_.close();
    } else {
        (void)fd_.close();
        published = publish_named(existing);
    }
    if (!published) {
        discard();
        return published;
    }
    temporary_name_.clear();
    pending_ = false;
    return sync_folder();
}

Status NewFile::publish_unnamed(ExistingDestination existing) {
    const int linked = link_open_file(fd_.get(), folder_fd_.get(), name_);
    if (linked == 0) return {};
    if (linked != EEXIST) return os_error(linked, destination_);
    if (existing == ExistingDestination::refuse) return file_already_exists(destination_);
    // A link cannot replace a file: the file gets a temporary name beside the
    // destination, which one rename then moves over it atomically.
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string temporary = temporary_name_for(name_);
        const int result = link_open_file(fd_.get(), folder_fd_.get(), temporary);
        if (result == EEXIST) continue;
        if (result != 0) return os_error(result, destination_);
        temporary_name_ = std::move(temporary);
        return publish_named(existing);
    }
    return os_error(EEXIST, destination_);
}

Status NewFile::publish_named(ExistingDestination existing) {
    const int folder = folder_fd_.get();
    if (existing == ExistingDestination::replace) {
        if (::renameat(folder, temporary_name_.c_str(), folder, name_.c_str()) != 0)
            return os_error(errno, destination_);
        return {};
    }
    if (::renameat2(folder, temporary_name_.c_str(), folder, name_.c_str(), RENAME_NOREPLACE) == 0) return {};
    const int error_number = errno;
    if (error_number == EEXIST) return file_already_exists(destination_);
    if (error_number != EINVAL && error_number != ENOSYS && error_number != EOPNOTSUPP) {
        return os_error(error_number, destination_);
    }
    return detail::link_into_place(temporary_name_, name_, folder, &destination_);
}

Status NewFile::sync_folder() const {
    if (::fsync(folder_fd_.get()) == 0) return {};
    // A folder reached by a path descriptor (EBADF), or a file system that
    // syncs no folders (EINVAL, EROFS), leaves nothing to sync here.
    const int error_number = errno;
    if (error_number == EBADF || error_number == EINVAL || error_number == EROFS) return {};
    return os_error(error_number, destination_)
        .prefixed("The new file " + destination_ + " is in place, but its folder could not be synced: ");
}

namespace detail {

Status link_into_place(const std::string& from, const std::string& to, int folder_fd, const std::string* shown_as) {
    if (::linkat(folder_fd, from.c_str(), folder_fd, to.c_str(), 0) != 0) {
        if (errno == EEXIST) return file_already_exists(shown_as != nullptr ? *shown_as : to);
        return os_error(errno, shown_as != nullptr ? *shown_as : to);
    }
    // The file is in place under both names; dropping the temporary name
    // cannot fail where creating the link in the same folder succeeded.
    ::unlinkat(folder_fd, from.c_str(), 0);
    return {};
}

}  // namespace detail

Status ByteCopier::copy(const InputFile& source, std::uint64_t offset, std::uint64_t length, BufferedWriter& writer,
                        int output_fd) {
    if (length == 0) return {};
    // Positions past what off_t can name lie past the end of any file.
    constexpr auto max_position = static_cast<std::uint64_t>(INT64_MAX);
    if (offset > max_position || length > max_position - offset) return unexpected_end_of_file();

    if (kernel_copy_usable_ && length >= kernel_copy_threshold) {
        if (Status flushed = writer.flush(); !flushed) return flushed;
        while (length > 0) {
            if (cancelled(cancel_)) return cancelled_error();
            auto in_position = static_cast<off_t>(offset);
            const auto chunk = static_cast<std::size_t>(std::min<std::uint64_t>(length, cancellation_chunk));
            // No output offset: the kernel writes at the descriptor's position
            // and moves it, as write() does for the buffered bytes.
            const ssize_t copied = ::copy_file_range(source.descriptor(), &in_position, output_fd, nullptr, chunk, 0);
            if (copied < 0) {
                if (errno == EINTR) continue;
                if (kernel_copy_refused(errno)) {
                    kernel_copy_usable_ = false;
                    break;
                }
                return os_error(errno);
            }
            // Nothing copied: the source has ended, or its file system copies
            // nothing (some pseudo file systems); reading tells which.
            if (copied == 0) break;
            writer.account_direct_write(static_cast<std::uint64_t>(copied));
            offset += static_cast<std::uint64_t>(copied);
            length -= static_cast<std::uint64_t>(copied);
        }
        if (length == 0) return {};
    }
    return copy_through_buffer(source, offset, length, writer);
}

Status ByteCopier::copy_through_buffer(const InputFile& source, std::uint64_t offset, std::uint64_t length,
                                       BufferedWriter& writer) const {
    while (length > 0) {
        auto space = writer.free_space();
        if (space.empty()) {
            if (cancelled(cancel_)) return cancelled_error();
            if (Status flushed = writer.flush(); !flushed) return flushed;
            space = writer.free_space();
        }
        const auto chunk = static_cast<std::size_t>(std::min<std::uint64_t>(length, space.size()));
        if (Status read = source.read_exact_at(offset, space.first(chunk)); !read) return read;
        writer.commit(chunk);
        offset += chunk;
        length -= chunk;
    }
    return {};
}

}  // namespace kvt
