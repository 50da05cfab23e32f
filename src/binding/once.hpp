// Process-wide set-once cells for interpreter objects (module, class, interned names, the
// PanicException type). Filled only by a thread holding the interpreter lock, never emptied:
// if the value was filled meanwhile (initialisation may run Python code), the newcomer is
// dropped and the first value kept.
#pragma once

#include "ref.hpp"

namespace tavrin::binding {

class OnceCell {
public:
    // Borrowed; null while empty.
    [[nodiscard]] PyObject* get() const noexcept { return object_; }

    // Keeps `value` (not empty) unless the cell is already full; returns the cell's value (borrowed).
    PyObject* set(Ref value) noexcept {
        if (object_ == nullptr) {
            object_ = value.release();
        }
        return object_;
    }

    // `make` returns the value, or throws (the cell then stays empty).
    template <class Make>
    PyObject* get_or_init(Make&& make) {
        if (object_ != nullptr) {
            return object_;
        }
        return set(make());
    }

private:
    PyObject* object_ = nullptr;
};

}  // namespace tavrin::binding
