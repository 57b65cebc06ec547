// Error values of the pulse-file library.
//
// Every fallible operation returns a `Result<T>`: either the value or an
// `Error` carrying one human-readable message. Nothing in the library throws
// across its interface; callers add context by prefixing the message.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace kvt {

/// One failure, described by a single message.
class Error {
public:
    explicit Error(std::string message) : message_(std::move(message)) {}

    [[nodiscard]] const std::string& message() const noexcept { return message_; }

    /// The same failure with `context` in front of its message.
    [[nodiscard]] Error prefixed(std::string_view context) const {
        std::string text(context);
        text += message_;
        return Error(std::move(text));
    }

private:
    std::string message_;
};

/// A value of type T, or the Error that prevented it.
template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit by design
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
