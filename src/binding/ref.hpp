// Owned references. A `Ref` owns exactly one reference (or none) and releases it when it
// goes away; a raw `PyObject*` anywhere in this module is borrowed. References are made only
// through the named factories, and leave for the interpreter only through `release()`.
// Also the base of the scoped holders (borrows, the call guard's pieces).
#pragma once

#include <utility>

#include "compat.hpp"

namespace tavrin::binding {

// Whether this thread may still touch the interpreter. Everywhere in this module it may,
// but in the forced unwind of a daemon thread that CPython ends at exit (pthread_exit when a
// callback tries to take the interpreter lock back): that thread's state is already freed,
// and late in finalisation PyGILState_Check answers yes on every thread. So from the start of
// finalisation only the thread whose own state is the current one may. PyPy ends no thread so.
inline bool may_touch_interpreter() noexcept {
    if (!compat::is_finalizing()) {
        return true;
    }
    PyThreadState* const own = compat::own_thread_state();
    return own != nullptr && own == compat::current_thread_state();
}

// A scoped holder takes something on construction and gives it back on destruction, exactly
// once: it is neither copied nor moved.
class NonCopyable {
public:
    NonCopyable(const NonCopyable&) = delete;
    NonCopyable& operator=(const NonCopyable&) = delete;

protected:
    NonCopyable() noexcept = default;
    ~NonCopyable() = default;
};

class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : object_(other.release()) {}
    Ref& operator=(Ref&& other) noexcept(false) {
        Ref old(std::move(*this));
        object_ = other.release();
        return *this;
    }
    // On a thread ended at exit the reference is left to the ending process, as the
    // interpreter leaves that thread's own. Not noexcept: the release can run Python code (a
    // __del__) in which the interpreter ends the thread, and that unwind must pass.
    ~Ref() noexcept(false) {
        if (object_ != nullptr && may_touch_interpreter()) {
            Py_DECREF(object_);
        }
    }

    // Takes over a reference the caller owns (a C API "new reference" result); may be null.
    [[nodiscard]] static Ref steal(PyObject* object) noexcept { return Ref(object); }
    // Takes a reference of its own to a borrowed object; may be null.
    [[nodiscard]] static Ref own(PyObject* object) noexcept {
        Py_XINCREF(object);
        return Ref(object);
    }

    [[nodiscard]] PyObject* get() const noexcept { return object_; }
    // Hands the reference on; the Ref is empty afterwards.
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    explicit operator bool() const noexcept { return object_ != nullptr; }

private:
    explicit Ref(PyObject* object) noexcept : object_(object) {}
    PyObject* object_ = nullptr;
};

}  // namespace tavrin::binding
