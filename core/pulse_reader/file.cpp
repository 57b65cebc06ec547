#include "pulse_reader/file.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kvt {

Error os_error(int error_number, std::string path) {
    std::string text = std::strerror(error_number);
    text += " (os error ";
    text += std::to_string(error_number);
    text += ')';
    return Error(ErrorCode::io, std::move(text), error_number, std::move(path));
}

Error unexpected_end_of_file() { return Error(ErrorCode::truncated, "failed to fill whole buffer"); }

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = other.release();
    }
    return *this;
}

FileDescriptor::~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
}

int FileDescriptor::release() noexcept {
    int fd = fd_;
    fd_ = -1;
    return fd;
}

Status FileDescriptor::close() {
    if (fd_ < 0) return {};
    // close() must not be retried on EINTR on Linux: the descriptor is gone.
    int result = ::close(release());
    if (result != 0 && errno != EINTR) return os_error(errno);
    return {};
}

Result<InputFile> InputFile::open(const std::string& path) {
    if (path.find('\0') != std::string::npos) {
        return Error(ErrorCode::invalid_argument, "file name contained an unexpected NUL byte");
    }
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return os_error(errno, path);
    FileDescriptor owned(fd);
    // A directory opens for reading but cannot be read; report it as the read would.
    struct stat status{};
    if (::fstat(fd, &status) != 0) return os_error(errno, path);
    if (S_ISDIR(status.st_mode)) return os_error(EISDIR, path);
    return InputFile(std::move(owned));
}

Status InputFile::read_exact_at(std::uint64_t offset, std::span<std::byte> buffer) const {
    std::size_t done = 0;
    while (done < buffer.size()) {
        if (offset + done > static_cast<std::uint64_t>(INT64_MAX)) return os_error(EINVAL);
        ssize_t got = ::pread(fd_.get(), buffer.data() + done, buffer.size() - done, static_cast<off_t>(offset + done));
        if (got < 0) {
            if (errno == EINTR) continue;
            return os_error(errno);
        }
        if (got == 0) return unexpected_end_of_file();
        done += static_cast<std::size_t>(got);
    }
    return {};
}

Result<std::uint64_t> InputFile::size() const {
    struct stat status{};
    if (::fstat(fd_.get(), &status) != 0) return os_error(errno);
    return static_cast<std::uint64_t>(status.st_size);
}

Status InputFile::check_readable(std::uint64_t offset, std::uint64_t length) const {
    auto file_size = size();
    if (!file_size) return std::move(file_size).error();
    if (offset > *file_size || length > *file_size - offset) return unexpected_end_of_file();
    return {};
}

}  // namespace kvt
