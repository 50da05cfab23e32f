// The call guard: every entry from the interpreter runs its body through one of these. The
// body returns a Result; a pending error is handed to the interpreter here and nowhere else,
// and a fatal error of the call (tavrin::FatalError) becomes PanicException. Anything that
// escapes even that ends the process through the fatal trap, except the forced unwind of a
// thread that the interpreter ends at exit, which passes through (so the guards and every
// entry that calls them are not noexcept).
#pragma once

#include <exception>
#include <new>
#include <string>
#include <utility>

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

#include "error.hpp"
#include "fatal.hpp"

namespace tavrin::binding {

inline constexpr const char* UNCAUGHT_PANIC = "uncaught panic at ffi boundary";
inline constexpr const char* NATIVE_FAILURE = "the native code of tavrin_puzzles failed without a message";

// Writes UNCAUGHT_PANIC to standard error and aborts.
[[noreturn]] void fatal_trap() noexcept;

namespace detail {

class LockDepth {
public:
    LockDepth() noexcept;
    ~LockDepth();
    LockDepth(const LockDepth&) = delete;
    LockDepth& operator=(const LockDepth&) = delete;
};

// The PanicException pending error for a fatal error of the call.
PendingError panic_error(const FatalError& failure);
// A C++ exception other than FatalError reached the guard: report it and treat it as fatal.
PendingError panic_error(const std::exception& failure);

// Takes the interpreter's error indicator aside for its lifetime and puts it back after.
class SavedError {
public:
    SavedError() noexcept;
    ~SavedError();
    SavedError(const SavedError&) = delete;
    SavedError& operator=(const SavedError&) = delete;

private:
    PyObject* type_ = nullptr;
    PyObject* value_ = nullptr;
    PyObject* traceback_ = nullptr;
};

template <class T, class Body>
Result<T> capture(Body& body) {
    try {
        return body();
    } catch (const FatalError& failure) {
        return panic_error(failure);
    } catch (const std::exception& failure) {
        return panic_error(failure);
    }
}

}  // namespace detail

// The interpreter's recursion check, held for the lifetime of an entry that can call back
// into Python (an __index__ or __iter__ that calls the module again): deep recursion then
// ends in RecursionError on both interpreters instead of exhausting the native stack.
class RecursionScope {
public:
    [[nodiscard]] static Result<RecursionScope> enter(const char* where);
    RecursionScope(RecursionScope&& other) noexcept : entered_(std::exchange(other.entered_, false)) {}
    RecursionScope& operator=(RecursionScope&&) = delete;
    ~RecursionScope();

private:
    RecursionScope() noexcept = default;
    bool entered_ = false;
};

namespace detail {

// Runs an entry's work; whatever escapes it is fatal, except a forced unwind: pthread_exit
// (CPython ends daemon threads so at exit) unwinds through here, and the C library aborts
// if that unwind is caught and not rethrown.
template <class Work>
auto trap_escapes(Work&& work) -> decltype(work()) {
    try {
        return work();
    }
#if defined(__GLIBCXX__)
    catch (abi::__forced_unwind&) {
        throw;
    }
#endif
    catch (...) {
        fatal_trap();
    }
}

}  // namespace detail

// Entries that return an object: a new reference, or null with the error indicator set.
template <class Body>
PyObject* guard_object(Body&& body) {
    return detail::trap_escapes([&]() -> PyObject* {
        detail::LockDepth depth;
        Result<Ref> result = detail::capture<Ref>(body);
        if (result) {
            return result.value().release();
        }
        std::move(result.error()).restore();
        return nullptr;
    });
}

// Attribute setters: 0, or -1 with the error indicator set.
template <class Body>
int guard_status(Body&& body) {
    return detail::trap_escapes([&]() -> int {
        detail::LockDepth depth;
        Result<void> result = detail::capture<void>(body);
        if (result) {
            return 0;
        }
        std::move(result.error()).restore();
        return -1;
    });
}

// The same for entries that can call back into Python (through __index__, __iter__...):
// the body runs inside a RecursionScope; `where` completes "maximum recursion depth exceeded".
template <class Body>
PyObject* guard_object(const char* where, Body&& body) {
    return guard_object([&]() -> Result<Ref> {
        Result<RecursionScope> scope = RecursionScope::enter(where);
        return scope ? body() : Result<Ref>(std::move(scope.error()));
    });
}

template <class Body>
int guard_status(const char* where, Body&& body) {
    return guard_status([&]() -> Result<void> {
        Result<RecursionScope> scope = RecursionScope::enter(where);
        return scope ? body() : Result<void>(std::move(scope.error()));
    });
}

// Deallocation: nothing can be raised, so a failure goes to the unraisable-error hook. An
// exception already in flight (deallocation may happen while one propagates) is kept.
template <class Body>
void guard_unraisable(PyObject* context, Body&& body) {
    detail::trap_escapes([&] {
        detail::LockDepth depth;
        detail::SavedError in_flight;
        Result<void> result = detail::capture<void>(body);
        if (!result) {
            std::move(result.error()).restore();
            PyErr_WriteUnraisable(context);
        }
    });
}

}  // namespace tavrin::binding
