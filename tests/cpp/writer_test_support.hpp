// Helpers shared by the tests of the two writers (aperture copy and merge).
#pragma once

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "pulse_file_builder.hpp"
#include "pulse_reader/pulse_reader.hpp"

namespace kvt::testing {

inline std::uint64_t le_at(const Bytes& bytes, std::uint64_t offset, std::size_t width) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < width; ++i) {
        value |= std::uint64_t{std::to_integer<std::uint8_t>(bytes.at(static_cast<std::size_t>(offset) + i))} << (8 * i);
    }
    return value;
}

inline void put_le(Bytes& bytes, std::uint64_t offset, std::uint64_t value, std::size_t width) {
    for (std::size_t i = 0; i < width; ++i) {
        bytes.at(static_cast<std::size_t>(offset) + i) = static_cast<std::byte>((value >> (8 * i)) & 0xFF);
    }
}

inline void append_le(Bytes& bytes, std::uint64_t value, std::size_t width) {
    for (std::size_t i = 0; i < width; ++i) bytes.push_back(static_cast<std::byte>((value >> (8 * i)) & 0xFF));
}

inline Bytes slice(const Bytes& bytes, std::uint64_t offset, std::uint64_t length) {
    return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(offset),
                 bytes.begin() + static_cast<std::ptrdiff_t>(offset + length));
}

inline void append(Bytes& to, const Bytes& from) { to.insert(to.end(), from.begin(), from.end()); }

inline Bytes text_bytes(std::string_view text) {
    Bytes bytes;
    for (const char c : text) bytes.push_back(static_cast<std::byte>(c));
    return bytes;
}

/// Equal bytes, or a failure naming the first offset where they differ.
inline ::testing::AssertionResult same_bytes(const Bytes& actual, const Bytes& expected) {
    const auto mismatch = std::mismatch(actual.begin(), actual.end(), expected.begin(), expected.end());
    if (mismatch.first == actual.end() && mismatch.second == expected.end()) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "sizes " << actual.size() << " and " << expected.size()
                                         << ", first difference at byte " << (mismatch.first - actual.begin());
}

/// `count` records whose words all depend on `seed` and their position, so
/// that records of different apertures never look alike.
inline std::vector<Record> distinct_records(std::uint32_t seed, std::size_t count) {
    std::vector<Record> records(count);
    for (std::size_t r = 0; r < count; ++r) {
        for (std::size_t k = 0; k < 8; ++k) {
            records[r][k] = static_cast<std::uint16_t>(seed * 7919U + r * 31U + k * 3U + 1U);
        }
    }
    return records;
}

/// The stored bytes of aperture `n`'s records, as `reader` reads them; empty
/// when the reader cannot read the block.
inline Bytes stored_records(const PulseReader& reader, std::uint64_t n) {
    auto block = reader.read_block(n);
    if (!block) return {};
    const auto bytes = block->record_bytes();
    return Bytes(bytes.begin(), bytes.end());
}

/// The names in `folder` that look like a writer's temporary file.
inline std::vector<std::string> temporary_files(const std::filesystem::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        const std::string name = entry.path().filename().string();
        if (name.starts_with(".") && name.find(".tmp-") != std::string::npos) names.push_back(name);
    }
    return names;
}

inline std::vector<std::string> directory_names(const std::filesystem::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

inline unsigned permission_bits(const std::string& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) return 0xFFFF;
    return status.st_mode & 07777U;
}

/// Sets the process's file-creation mask for its lifetime.
class UmaskScope {
public:
    explicit UmaskScope(mode_t mask) : previous_(::umask(mask)) {}
    UmaskScope(const UmaskScope&) = delete;
    UmaskScope& operator=(const UmaskScope&) = delete;
    ~UmaskScope() { ::umask(previous_); }

private:
    mode_t previous_;
};

/// Runs `body` in a forked child whose file-size limit is `limit` bytes (with
/// SIGXFSZ ignored, so an oversized write fails with EFBIG instead of killing
/// it). Returns the text that `body` returns; fails the test if the child
/// does not exit normally.
inline std::string run_with_file_size_limit(rlim_t limit, const std::function<std::string()>& body) {
    int fds[2];
    if (::pipe(fds) != 0) {
        ADD_FAILURE() << "pipe: " << std::strerror(errno);
        return {};
    }
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(fds[0]);
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit cap{limit, limit};
        std::string message = ::setrlimit(RLIMIT_FSIZE, &cap) == 0 ? body() : "setrlimit failed";
        const char* data = message.data();
        std::size_t left = message.size();
        while (left > 0) {
            const ssize_t done = ::write(fds[1], data, left);
            if (done <= 0) break;
            data += done;
            left -= static_cast<std::size_t>(done);
        }
        ::_exit(0);
    }
    ::close(fds[1]);
    std::string message;
    char chunk[256];
    ssize_t got = 0;
    while ((got = ::read(fds[0], chunk, sizeof chunk)) > 0) message.append(chunk, static_cast<std::size_t>(got));
    ::close(fds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child did not exit normally";
    return message;
}

}  // namespace kvt::testing
