// The interpreters differ in a few names of their C API; this header is the only place that
// knows which interpreter offers which. Everything else in the binding calls these functions.
//
// - CPython 3.13 made the finalisation check and the unchecked current thread state public
//   (Py_IsFinalizing, PyThreadState_GetUnchecked) and removed the private names that 3.9 to
//   3.12 export (_Py_IsFinalizing, _PyThreadState_UncheckedGet).
// - PyPy never ends a thread behind a native call at exit, so it need not ask.
// - A free-threaded CPython (Py_GIL_DISABLED) turns the GIL back on when it imports a module
//   that does not declare that it runs without it.
#pragma once

#include "python.hpp"

namespace tavrin::binding::compat {

// Whether the interpreter has begun to finalise (always false on PyPy, which never needs to ask).
inline bool is_finalizing() noexcept {
#if defined(PYPY_VERSION)
    return false;
#elif PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing() != 0;
#else
    return _Py_IsFinalizing() != 0;
#endif
}

// The thread state current on this thread, or null; never fails, with or without the lock.
inline PyThreadState* current_thread_state() noexcept {
#if defined(PYPY_VERSION)
    return nullptr;
#elif PY_VERSION_HEX >= 0x030D0000
    return PyThreadState_GetUnchecked();
#else
    return _PyThreadState_UncheckedGet();
#endif
}

// The thread state that belongs to this thread, or null (PyPy does not say).
inline PyThreadState* own_thread_state() noexcept {
#if defined(PYPY_VERSION)
    return nullptr;
#else
    return PyGILState_GetThisThreadState();
#endif
}

// Declares that `module` keeps its own state safe without the GIL (a no-op where there is one).
inline int declare_gil_free([[maybe_unused]] PyObject* module) noexcept {
#if defined(Py_GIL_DISABLED)
    return PyUnstable_Module_SetGIL(module, Py_MOD_GIL_NOT_USED);
#else
    return 0;
#endif
}

}  // namespace tavrin::binding::compat
