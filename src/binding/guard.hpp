// The call guard: every entry from the interpreter runs its body through one of these. The
// body returns its result or throws; a thrown PendingError is handed to the interpreter here
// and nowhere else, and a fatal error of the call (tavrin::FatalError) or any other
// std::exception becomes PanicException. Anything that escapes even that ends the process
// through the fatal trap, except the forced unwind of a thread that the interpreter ends at
// exit, which passes through (so the guards and every entry that calls them are not noexcept).
#pragma once

#include <exception>
#include <optional>
#include <utility>

#include "error.hpp"
#include "fatal.hpp"

namespace tavrin::binding {

inline constexpr const char* UNCAUGHT_PANIC = "uncaught panic at ffi boundary";
inline constexpr const char* NATIVE_FAILURE = "the native code of tavrin_puzzles failed without a message";

// Writes UNCAUGHT_PANIC to standard error and aborts.
[[noreturn]] void fatal_trap() noexcept;

namespace detail {

class LockDepth : NonCopyable {
public:
    LockDepth() noexcept;
    ~LockDepth();
};

// Makes PanicException the interpreter's error indicator: for a fatal error of the call, or
// for another C++ exception, which is reported first.
void raise_panic(const FatalError& failure);
void raise_panic(const std::exception& failure);

// Takes the interpreter's error indicator aside for its lifetime and puts it back after.
class SavedError : NonCopyable {
public:
    SavedError() noexcept;
    ~SavedError();

private:
    PyObject* type_ = nullptr;
    PyObject* value_ = nullptr;
    PyObject* traceback_ = nullptr;
};

// Runs `body`: true when it returned, false when it threw and the failure was handed over.
// Anything else (a forced unwind) passes on to trap_escapes.
template <class Body>
bool capture(Body&& body) {
    try {
        body();
        return true;
    } catch (PendingError& error) {
        std::move(error).restore();
    } catch (const FatalError& failure) {
        raise_panic(failure);
    } catch (const std::exception& failure) {
        raise_panic(failure);
    }
    return false;
}

}  // namespace detail

// The interpreter's recursion check, held for the lifetime of an entry that can call back
// into Python (an __index__ or __iter__ that calls the module again): deep recursion then
// ends in RecursionError on both interpreters instead of exhausting the native stack.
class RecursionScope : NonCopyable {
public:
    // Throws the interpreter's RecursionError when the limit is reached.
    explicit RecursionScope(const char* where);
    ~RecursionScope();

private:
    bool entered_ = false;
};

namespace detail {

// Called in a handler: rethrows the exception being handled if it is a forced unwind.
void pass_forced_unwind();

// Runs an entry's work; whatever escapes it is fatal, except a forced unwind: pthread_exit
// (CPython ends daemon threads so at exit) unwinds through here, and the C library aborts
// if that unwind is caught and not rethrown.
template <class Work>
auto trap_escapes(Work&& work) -> decltype(work()) {
    try {
        return work();
    } catch (...) {
        pass_forced_unwind();
        fatal_trap();
    }
}

}  // namespace detail

// Entries that return an object: a new reference, or null with the error indicator set.
template <class Body>
PyObject* guard_object(Body&& body) {
    return detail::trap_escapes([&]() -> PyObject* {
        detail::LockDepth depth;
        PyObject* result = nullptr;
        detail::capture([&] { result = body().release(); });
        return result;
    });
}

// Attribute setters: 0, or -1 with the error indicator set.
template <class Body>
int guard_status(Body&& body) {
    return detail::trap_escapes([&]() -> int {
        detail::LockDepth depth;
        return detail::capture(body) ? 0 : -1;
    });
}

// The same for entries that can call back into Python (through __index__, __iter__...):
// the body runs inside a RecursionScope; `where` completes "maximum recursion depth exceeded".
template <class Body>
PyObject* guard_object(const char* where, Body&& body) {
    return guard_object([&] {
        const RecursionScope scope(where);
        return body();
    });
}

template <class Body>
int guard_status(const char* where, Body&& body) {
    return guard_status([&] {
        const RecursionScope scope(where);
        body();
    });
}

// Deallocation: nothing can be raised, so a failure goes to the unraisable-error hook. An
// exception already in flight (deallocation may happen while one propagates) is kept.
template <class Body>
void guard_unraisable(PyObject* context, Body&& body) {
    detail::trap_escapes([&] {
        detail::LockDepth depth;
        detail::SavedError in_flight;
        if (!detail::capture(body)) {
            PyErr_WriteUnraisable(context);
        }
    });
}

// Runs `work`, which must touch no Python object, with the interpreter lock released so that
// the caller's other threads run meanwhile; returns its result, or rethrows its failure, once
// the lock is back. The lock is taken back outside any handler and destructor: at interpreter
// exit, taking it ends a daemon thread with a forced unwind, which must pass freely.
template <class Work>
auto without_interpreter_lock(Work&& work) -> decltype(work()) {
    std::optional<decltype(work())> result;
    std::exception_ptr failure;
    PyThreadState* const saved = PyEval_SaveThread();
    try {
        result.emplace(work());
    } catch (...) {
        failure = std::current_exception();
    }
    PyEval_RestoreThread(saved);
    if (failure) {
        std::rethrow_exception(failure);
    }
    return std::move(*result);
}

}  // namespace tavrin::binding
