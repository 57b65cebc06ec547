#include "pulse_reader/buffered_writer.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unistd.h>
#include <utility>

#include "pulse_reader/file.hpp"

namespace kvt {

Status write_all_to(int fd, std::span<const std::byte> bytes) {
    while (!bytes.empty()) {
        ssize_t done = ::write(fd, bytes.data(), bytes.size());
        if (done < 0) {
            if (errno == EINTR) continue;
            return os_error(errno);
        }
        if (done == 0) return Error(ErrorCode::io, "failed to write whole buffer");
        bytes = bytes.subspan(static_cast<std::size_t>(done));
    }
    return {};
}

BufferedWriter::BufferedWriter(int fd, std::size_t capacity, std::string path)
    : fd_(fd),
      path_(std::move(path)),
      capacity_(capacity),
      buffer_(std::make_unique_for_overwrite<std::byte[]>(capacity)) {}

Status BufferedWriter::write_out(std::span<const std::byte> bytes) const {
    Status status = write_all_to(fd_, bytes);
    if (!status) return std::move(status).error().concerning(path_);
    return {};
}

Status BufferedWriter::flush() {
    if (used_ == 0) return {};
    Status status = write_out({buffer_.get(), used_});
    if (!status) return status;
    written_ += used_;
    used_ = 0;
    return {};
}

Status BufferedWriter::write(std::span<const std::byte> bytes) {
    if (bytes.size() <= capacity_ - used_) {
        std::memcpy(buffer_.get() + used_, bytes.data(), bytes.size());
        used_ += bytes.size();
        return {};
    }
    if (Status status = flush(); !status) return status;
    if (bytes.size() >= capacity_) {
        if (Status status = write_out(bytes); !status) return status;
        written_ += bytes.size();
        return {};
    }
    std::memcpy(buffer_.get(), bytes.data(), bytes.size());
    used_ = bytes.size();
    return {};
}

Status BufferedWriter::write_zeros(std::uint64_t count) {
    while (count > 0) {
        if (used_ == capacity_) {
            if (Status status = flush(); !status) return status;
        }
        const auto chunk = static_cast<std::size_t>(std::min<std::uint64_t>(count, capacity_ - used_));
        std::memset(buffer_.get() + used_, 0, chunk);
        used_ += chunk;
        count -= chunk;
    }
    return {};
}

}  // namespace kvt
