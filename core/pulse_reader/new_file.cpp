#include "pulse_reader/new_file.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <sys/random.h>
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
    return error_number == EXDEV || error_number == EINVAL || error_number == ENOSYS ||
           error_number == EOPNOTSUPP || error_number == ENOTSUP || error_number == EBADF;
}

}  // namespace

Error file_already_exists(const std::string& path) { return Error("File " + path + " already exists"); }

Result<NewFile> NewFile::create(const std::string& destination) {
    if (destination.find('\0') != std::string::npos) {
        return Error("file name contained an unexpected NUL byte");
    }
    const auto slash = destination.rfind('/');
    const std::string folder = slash == std::string::npos ? std::string() : destination.substr(0, slash + 1);
    std::string name = slash == std::string::npos ? destination : destination.substr(slash + 1);
    // What open(O_CREAT) would report for these names.
    if (destination.empty()) return os_error(ENOENT);
    if (name.empty() || name == "." || name == "..") return os_error(EISDIR);
    name.resize(std::min(name.size(), max_name_in_temporary));

    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string temporary = folder + "." + name + ".tmp-" + random_suffix();
        const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) return NewFile(destination, std::move(temporary), FileDescriptor(fd));
        if (errno != EEXIST && errno != EINTR) return os_error(errno);
    }
    return os_error(EEXIST);
}

NewFile::NewFile(NewFile&& other) noexcept
    : destination_(std::move(other.destination_)),
      temporary_path_(std::exchange(other.temporary_path_, std::string())),
      fd_(std::move(other.fd_)) {}

NewFile& NewFile::operator=(NewFile&& other) noexcept {
    if (this != &other) {
        discard();
        destination_ = std::move(other.destination_);
        temporary_path_ = std::exchange(other.temporary_path_, std::string());
        fd_ = std::move(other.fd_);
    }
    return *this;
}

NewFile::~NewFile() { discard(); }

void NewFile::discard() noexcept {
    (void)fd_.close();
    if (!temporary_path_.empty()) {
        ::unlink(temporary_path_.c_str());
        temporary_path_.clear();
    }
}

Status NewFile::commit(ExistingDestination existing) {
    if (temporary_path_.empty()) return Error("The new file has already been moved into place or removed");
    // close() can report a failed write-back (on network file systems); the
    // file must not be published then.
    if (Status closed = fd_.close(); !closed) {
        discard();
        return closed;
    }
    if (existing == ExistingDestination::replace) {
        if (::rename(temporary_path_.c_str(), destination_.c_str()) != 0) {
            const int error_number = errno;
            discard();
            return os_error(error_number);
        }
    } else if (::renameat2(AT_FDCWD, temporary_path_.c_str(), AT_FDCWD, destination_.c_str(), RENAME_NOREPLACE) !=
               0) {
        const int error_number = errno;
        if (error_number == EEXIST) {
            discard();
            return file_already_exists(destination_);
        }
        if (error_number != EINVAL && error_number != ENOSYS && error_number != EOPNOTSUPP) {
            discard();
            return os_error(error_number);
        }
        if (Status linked = detail::link_into_place(temporary_path_, destination_); !linked) {
            discard();
            return linked;
        }
    }
    temporary_path_.clear();
    return {};
}

namespace detail {

Status link_into_place(const std::string& from, const std::string& to) {
    if (::link(from.c_str(), to.c_str()) != 0) {
        if (errno == EEXIST) return file_already_exists(to);
        return os_error(errno);
    }
    // The file is in place under both names; dropping the temporary name
    // cannot fail where creating the link in the same folder succeeded.
    ::unlink(from.c_str());
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
            auto in_position = static_cast<off_t>(offset);
            const auto chunk = static_cast<std::size_t>(std::min<std::uint64_t>(length, std::uint64_t{1} << 30));
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
                                       BufferedWriter& writer) {
    while (length > 0) {
        auto space = writer.free_space();
        if (space.empty()) {
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
