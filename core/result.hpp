// Error values of the pulse-file library.
//
// Every fallible operation returns a `Result<T>`: either the value or an
// `Error` carrying a code, which says what kind of failure it is, and one
// human-readable message. Nothing in the library throws across its interface;
// callers add context by prefixing the message, and branch on the code, never
// on the message's text.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace kvt {

/// What kind of failure an Error is.
enum class ErrorCode : std::uint8_t {
    io,                ///< the operating system refused or failed a call (os_error_number() says which way)
    truncated,         ///< a read ran past the end of the file: the file was cut short or a size in it is wrong
    invalid_header,    ///< the 48-byte header or its encoding records break the format
    invalid_metadata,  ///< the metadata is not UTF-8 JSON, or lacks a value the reader needs
    invalid_index,     ///< the index's magic, order or entries break the format
    invalid_block,     ///< an aperture's block disagrees with what was read of it before
    missing_aperture,  ///< an aperture number the file does not hold
    unsorted_pulses,   ///< pulses that overlap or run backwards, which a filter cannot judge
    already_exists,    ///< a writer refused to replace an existing file
    refused,           ///< a writer refused its source or destination, or a file it cannot write
    invalid_argument,  ///< a call's arguments cannot be carried out
    cancelled,         ///< the call was stopped by its cancellation token (Ctrl-C)
    internal,          ///< the library's own bookkeeping does not add up
};

/// One failure: its code, a single message and, for a failure of the
/// operating system, the error number and the file it concerned, where known.
class Error {
public:
    Error(ErrorCode code, std::string message, int os_error_number = 0, std::string path = {})
        : code_(code), os_error_number_(os_error_number), message_(std::move(message)), path_(std::move(path)) {}

    [[nodiscard]] ErrorCode code() const noexcept { return code_; }
    [[nodiscard]] const std::string& message() const noexcept { return message_; }
    /// The system's error number (errno) for ErrorCode::io and already_exists, else 0.
    [[nodiscard]] int os_error_number() const noexcept { return os_error_number_; }
    /// The file the failure concerns, or empty when the failing call did not know it.
    [[nodiscard]] const std::string& path() const noexcept { return path_; }

    /// The same failure with `context` in front of its message.
    [[nodiscard]] Error prefixed(std::string_view context) const {
        std::string text(context);
        text += message_;
        return Error(code_, std::move(text), os_error_number_, path_);
    }

    /// The same failure, concerning `path` unless it already names a file.
    [[nodiscard]] Error concerning(const std::string& path) && {
        if (path_.empty()) path_ = path;
        return std::move(*this);
    }

private:
    ErrorCode code_;
    int os_error_number_;
    std::string message_;
    std::string path_;
};

/// A value of type T, or the Error that prevented it.
template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}      // NOLINT: implicit by design
    Result(Error error) : state_(std::in_place_index<1>, std::move(error)) {}  // NOLINT

    [[nodiscard]] bool ok() const noexcept { return state_.index() == 0; }
    explicit operator bool() const noexcept { return ok(); }

    [[nodiscard]] T& value() & { return std::get<0>(state_); }
    [[nodiscard]] const T& value() const& { return std::get<0>(state_); }
    [[nodiscard]] T&& value() && { return std::get<0>(std::move(state_)); }
    [[nodiscard]] const Error& error() const& { return std::get<1>(state_); }
    [[nodiscard]] Error&& error() && { return std::get<1>(std::move(state_)); }

    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }

private:
    std::variant<T, Error> state_;
};

/// Success without a value, or an Error.
template <>
class [[nodiscard]] Result<void> {
public:
    Result() = default;
    Result(Error error) : error_(std::move(error)) {}  // NOLINT: implicit by design

    [[nodiscard]] bool ok() const noexcept { return !error_.has_value(); }
    explicit operator bool() const noexcept { return ok(); }
    [[nodiscard]] const Error& error() const& { return *error_; }
    [[nodiscard]] Error&& error() && { return std::move(*error_); }

private:
    std::optional<Error> error_;
};

using Status = Result<void>;

}  // namespace kvt
