// Process-wide set-once cells for interpreter objects (module, class, interned names, the
// PanicException type), never emptied. Two threads may fill one at once (a free-threaded
// interpreter has no lock to keep them apart, and initialisation may run Python code that
// lets another thread in): the first value stored is kept and every later one dropped, so
// every caller gets the same object.
#pragma once

#include <atomic>

#include "ref.hpp"

namespace tavrin::binding {

class OnceCell {
public:
    // Borrowed; null while empty.
    [[nodiscard]] PyObject* get() const noexcept { return object_.load(std::memory_order_acquire); }

    // Keeps `value` (not empty) unless the cell is already full; returns the cell's value (borrowed).
    PyObject* set(Ref value) {
        PyObject* expected = nullptr;
        if (object_.compare_exchange_strong(expected, value.get(), std::memory_order_acq_rel,
                                            std::memory_order_acquire)) {
            return value.release();
        }
        return expected;
    }

    // `make` returns the value, or throws (the cell then stays empty).
    template <class Make>
    PyObject* get_or_init(Make&& make) {
        if (PyObject* value = get()) {
            return value;
        }
        return set(make());
    }

private:
    std::atomic<PyObject*> object_{nullptr};
};

}  // namespace tavrin::binding
