#include "guard.hpp"

#include <unistd.h>

#include <cstdlib>
#include <source_location>

#include "rng.hpp"

namespace tavrin::binding {

namespace {

// Entries from the interpreter running on this thread right now: positive exactly while the
// thread is inside an entry and therefore holds the interpreter lock.
thread_local int lock_depth_counter = 0;

}  // namespace

void fatal_trap() noexcept {
    std::fflush(stderr);
    [[maybe_unused]] ssize_t written = ::write(STDERR_FILENO, UNCAUGHT_PANIC, std::char_traits<char>::length(UNCAUGHT_PANIC));
    written = ::write(STDERR_FILENO, "\n", 1);
    std::abort();
}

namespace detail {

LockDepth::LockDepth() noexcept {
    // Every entry starts here, before it allocates anything: the thread's storage comes first.
    prepare_thread_storage();
    ++lock_depth_counter;
}
LockDepth::~LockDepth() { --lock_depth_counter; }

SavedError::SavedError() noexcept { PyErr_Fetch(&type_, &value_, &traceback_); }
SavedError::~SavedError() { PyErr_Restore(type_, value_, traceback_); }

PendingError panic_error(const FatalError& failure) {
    const std::optional<std::string>& message = failure.message();
    return PendingError::lazy(panic_exception_type(), message ? *message : NATIVE_FAILURE);
}

PendingError panic_error(const std::exception& failure) {
    std::string message = failure.what();
    write_report("tavrin_puzzles: fatal error", message, std::source_location::current());
    return PendingError::lazy(panic_exception_type(), std::move(message));
}

}  // namespace detail

}  // namespace tavrin::binding
