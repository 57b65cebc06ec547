// Stopping a long call from another thread.
//
// Whole-run reads and the writers run for seconds on large files. Whoever
// started one (the Python binding, on Ctrl-C) may ask it to stop by setting a
// token that the work looks at between units of work: a read between work
// units and between blocks of headers, a writer between chunks of bytes. A
// stopped call returns `cancelled_error()` once every thread it started has
// finished, and leaves nothing half-written behind. The token is one atomic
// flag, so looking at it costs a load.
#pragma once

#include <atomic>

#include "result.hpp"

namespace kvt {

class CancellationToken {
public:
    /// Asks the work to stop; it stops at its next check.
    void cancel() noexcept { cancelled_.store(true, std::memory_order_relaxed); }
    [[nodiscard]] bool cancelled() const noexcept { return cancelled_.load(std::memory_order_relaxed); }

private:
    std::atomic<bool> cancelled_{false};
};

/// Whether `token` (null: no token, never cancelled) has been cancelled.
[[nodiscard]] inline bool cancelled(const CancellationToken* token) noexcept {
    return token != nullptr && token->cancelled();
}

/// The error of a call stopped by its token.
[[nodiscard]] inline Error cancelled_error() { return Error(ErrorCode::cancelled, "The operation was cancelled"); }

}  // namespace kvt
