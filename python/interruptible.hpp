// Long calls that Ctrl-C stops.
//
// Python runs a signal's handler (KeyboardInterrupt for SIGINT) only when the
// main thread next holds the interpreter lock and looks for signals, and a
// call that reads a large file without the lock for many seconds would not
// look. So a long call runs its core work on a thread of its own, while the
// calling thread waits in short slices; between slices it takes the lock and
// lets Python run its handlers (PyErr_CheckSignals). When a handler raises,
// the work's cancellation token is set, the work stops at its next check (a
// few milliseconds), its threads are joined, and the call returns with the
// handler's exception (KeyboardInterrupt) pending, unchanged. Python runs
// handlers on the main thread only; elsewhere the wait just waits.
#pragma once

#include "py_ref.hpp"

#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>

#include "cancellation.hpp"

namespace kvt::python {

/// How often a waiting call looks for signals.
inline constexpr std::chrono::milliseconds signal_check_interval{10};

/// Runs `work(token)` (which must not touch Python objects) without the
/// interpreter lock on a thread of its own, and waits for it. Call with the
/// lock held. False when a signal handler raised during the wait: its
/// exception is pending, the token was cancelled and the work has finished. A
/// C++ exception thrown by the work is thrown again here.
template <class Work>
bool run_interruptible(Work&& work) {
    CancellationToken token;
    std::mutex mutex;
    std::condition_variable finished_changed;
    bool finished = false;
    std::exception_ptr thrown;
    bool signalled = false;
    {
        const GilRelease unlocked;
        std::jthread worker;  // joined here, or on the way out of an exception
        try {
            worker = std::jthread([&] {
                try {
                    work(static_cast<const CancellationToken&>(token));
                } catch (...) {
                    thrown = std::current_exception();
                }
                const std::lock_guard lock(mutex);
                finished = true;
                finished_changed.notify_all();
            });
        } catch (const std::system_error&) {
            work(static_cast<const CancellationToken&>(token));  // no thread to be had: no stopping either
            return true;
        }
        std::unique_lock lock(mutex);
        while (!finished_changed.wait_for(lock, signal_check_interval, [&] { return finished; })) {
            if (signalled) continue;  // asked to stop: waits for the work to end
            lock.unlock();
            {
                const GilTake locked;
                signalled = PyErr_CheckSignals() != 0;
            }
            if (signalled) token.cancel();
            lock.lock();
        }
        lock.unlock();
        worker.join();
    }
    if (thrown) std::rethrow_exception(thrown);
    return !signalled;
}

}  // namespace kvt::python
