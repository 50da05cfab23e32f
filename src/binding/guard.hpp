// The call guard: every entry from the interpreter runs its body through one of these. The
// body returns a Result; a pending error is handed to the interpreter here and nowhere else,
// and a fatal error of the call (tavrin::FatalError) becomes PanicException. Anything that
// escapes even that ends the process through the fatal trap.
#pragma once

#include <exception>
#include <new>
#include <string>

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

// Entries that return an object: a new reference, or null with the error indicator set.
template <class Body>
PyObject* guard_object(Body&& body) noexcept {
    try {
        detail::LockDepth depth;
        Result<Ref> result = detail::capture<Ref>(body);
        if (result) {
            return result.value().release();
        }
        std::move(result.error()).restore();
        return nullptr;
    } catch (...) {
        fatal_trap();
    }
}

// Attribute setters: 0, or -1 with the error indicator set.
template <class Body>
int guard_status(Body&& body) noexcept {
    try {
        detail::LockDepth depth;
        Result<void> result = detail::capture<void>(body);
        if (result) {
            return 0;
        }
        std::move(result.error()).restore();
        return -1;
    } catch (...) {
        fatal_trap();
    }
}

// Deallocation: nothing can be raised, so a failure goes to the unraisable-error hook. An
// exception already in flight (deallocation may happen while one propagates) is kept.
template <class Body>
void guard_unraisable(PyObject* context, Body&& body) noexcept {
    try {
        detail::LockDepth depth;
        detail::SavedError in_flight;
        Result<void> result = detail::capture<void>(body);
        if (!result) {
            std::move(result.error()).restore();
            PyErr_WriteUnraisable(context);
        }
    } catch (...) {
        fatal_trap();
    }
}

}  // namespace tavrin::binding
