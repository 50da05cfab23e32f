#include "guard.hpp"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <source_location>

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

LockDepth::LockDepth() noexcept { ++lock_depth_counter; }
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

#ifdef PYPY_VERSION
namespace {

// PyPy's recursion check measures the thread's stack: it trips when 15/16 of an allowance of
// 768 KiB per 1000 units of the recursion limit is used. Fetching the RecursionError one entry
// further out then needs stack in proportion to the depth (cpyext hands the whole frame chain
// over), and cpyext dies when it is not there. So the entry checks as if it were an eighth of
// the allowance deeper, which leaves that much for the way out; capped, since a limit beyond
// the real stack overflows it anyway.
constexpr std::size_t STACK_ALLOWANCE_PER_LIMIT_UNIT = 768 * 1024 / 1000;
constexpr std::size_t MAX_HEADROOM = std::size_t{1} << 20;

[[gnu::noinline]] int enter_with_headroom(const char* where, std::size_t headroom) {
    volatile char* probe = static_cast<volatile char*>(__builtin_alloca(headroom));
    probe[0] = 0;
    const int refused = Py_EnterRecursiveCall(where);
    if (refused == 0) {
        Py_LeaveRecursiveCall();
    }
    // Keeps the check in the frame below the probe (no tail call).
    probe[0] = 0;
    return refused;
}

}  // namespace

Result<RecursionScope> RecursionScope::enter(const char* where) {
    const auto limit = static_cast<std::size_t>(std::max(Py_GetRecursionLimit(), 1));
    const std::size_t headroom = std::min(limit * STACK_ALLOWANCE_PER_LIMIT_UNIT / 8, MAX_HEADROOM);
    if (enter_with_headroom(where, headroom) != 0) {
        return PendingError::fetch();
    }
    // Nothing to leave: PyPy's check keeps no count.
    return RecursionScope();
}
#else
Result<RecursionScope> RecursionScope::enter(const char* where) {
    if (Py_EnterRecursiveCall(where) != 0) {
        return PendingError::fetch();
    }
    RecursionScope scope;
    scope.entered_ = true;
    return scope;
}
#endif

RecursionScope::~RecursionScope() {
    // A forced unwind at interpreter exit runs this on a thread that no longer holds the
    // interpreter lock, and the counter it would touch may belong to another thread by then.
    if (entered_ && PyGILState_Check() != 0) {
        Py_LeaveRecursiveCall();
    }
}

}  // namespace tavrin::binding
