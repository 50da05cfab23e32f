// The call guard's out-of-line parts: the per-thread lock depth, PanicException for a fatal
// failure, the fatal trap, and the recursion check (measured against the stack on PyPy).
#include "guard.hpp"

#include <pthread.h>
#include <unistd.h>

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <source_location>
#include <string>

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

// A forced unwind carries no object for the handler's reference to bind to, which the null
// check of UndefinedBehaviorSanitizer would report; the reference is never used.
[[gnu::no_sanitize("null")]] void pass_forced_unwind() {
#if defined(__GLIBCXX__)
    try {
        throw;
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
        // Not a forced unwind: the caller ends the process.
    }
#endif
}

void raise_panic(const FatalError& failure) {
    const std::optional<std::string>& message = failure.message();
    PendingError::lazy(panic_exception_type(), message ? *message : NATIVE_FAILURE).restore();
}

void raise_panic(const std::exception& failure) {
    std::string message = failure.what();
    write_report("tavrin_puzzles: fatal error", message, std::source_location::current());
    PendingError::lazy(panic_exception_type(), std::move(message)).restore();
}

}  // namespace detail

#ifdef PYPY_VERSION
namespace {

// PyPy's recursion check measures the thread's stack: it trips when 15/16 of an allowance of
// 768 KiB per 1000 units of the recursion limit is used. Fetching the RecursionError one entry
// further out then needs stack in proportion to the depth (cpyext hands the whole frame chain
// over), and cpyext dies when it is not there. So the entry checks as if it were an eighth of
// the allowance deeper, which leaves that much for the way out. The probe never reaches
// past half of the thread's free stack (a small threading.stack_size): where the allowance
// exceeds the real stack, PyPy overflows it whatever the module does.
constexpr std::size_t STACK_ALLOWANCE_PER_LIMIT_UNIT = 768 * 1024 / 1000;

// The lowest address of this thread's stack, or 0 if unknown.
std::uintptr_t stack_floor() {
    thread_local std::uintptr_t floor = [] {
        pthread_attr_t attributes;
        if (pthread_getattr_np(pthread_self(), &attributes) != 0) {
            return std::uintptr_t{0};
        }
        void* lowest = nullptr;
        std::size_t size = 0;
        const int failed = pthread_attr_getstack(&attributes, &lowest, &size);
        pthread_attr_destroy(&attributes);
        return failed != 0 ? std::uintptr_t{0} : reinterpret_cast<std::uintptr_t>(lowest);
    }();
    return floor;
}

std::size_t probe_headroom() {
    const auto limit = static_cast<std::size_t>(std::max(Py_GetRecursionLimit(), 1));
    std::size_t headroom = limit * STACK_ALLOWANCE_PER_LIMIT_UNIT / 8;
    const char here = 0;
    const auto position = reinterpret_cast<std::uintptr_t>(&here);
    const std::uintptr_t floor = stack_floor();
    if (floor != 0 && position > floor) {
        headroom = std::min<std::size_t>(headroom, (position - floor) / 2);
    }
    return headroom;
}

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

RecursionScope::RecursionScope(const char* where) {
    if (enter_with_headroom(where, probe_headroom()) != 0) {
        throw PendingError::fetch();
    }
    // Nothing to leave afterwards: PyPy's check keeps no count.
}
#else
RecursionScope::RecursionScope(const char* where) {
    if (Py_EnterRecursiveCall(where) != 0) {
        throw PendingError::fetch();
    }
    entered_ = true;
}
#endif

RecursionScope::~RecursionScope() {
    // A forced unwind at interpreter exit runs this on a thread whose state, which holds the
    // counter, is freed.
    if (entered_ && may_touch_interpreter()) {
        Py_LeaveRecursiveCall();
    }
}

}  // namespace tavrin::binding
