// The Python object that carries a Planes record: its construction and deallocation, and the
// borrow flag that keeps conflicting accesses to the record apart: 0 free, n > 0 read by n
// entries, -1 written by one. Borrows are scoped: a borrow object holds a reference to the
// Python object and releases the flag (then the reference) when it goes away, on every path.
#pragma once

#include <atomic>
#include <cstdint>

#include "error.hpp"
#include "planes.hpp"

namespace tavrin::binding {

struct PlanesObject {
    PyObject_HEAD
    Planes record_storage;
    std::atomic<std::int32_t> borrow_flag;
    // False in an instance that bypassed the constructor (PyPy's object.__new__ hands out
    // zero-filled memory); such a record is constructed empty on first use.
    bool constructed;

    Planes& record() {
        if (!constructed) {
            new (&record_storage) Planes{};
            constructed = true;
        }
        return record_storage;
    }
};

// The class object of Planes (borrowed); null before the class is created.
PyTypeObject* planes_type() noexcept;

// The receiver of a method or setter, if it is a Planes object; throws a type-mismatch
// TypeError with the target "Planes" otherwise.
PlanesObject* check_receiver(PyObject* object);

// Taken on construction (a refusal throws RuntimeError "Already mutably borrowed"), released
// on destruction.
class SharedBorrow : NonCopyable {
public:
    explicit SharedBorrow(PlanesObject* object);
    ~SharedBorrow();
    [[nodiscard]] const Planes& record() const;

private:
    Ref object_;
};

// Taken on construction (a refusal throws RuntimeError "Already borrowed"), released on
// destruction.
class ExclusiveBorrow : NonCopyable {
public:
    explicit ExclusiveBorrow(PlanesObject* object);
    ~ExclusiveBorrow();
    [[nodiscard]] Planes& record() const;

private:
    Ref object_;
};

// tp_new of the class: Planes(passengers=100, seats=100, cols="ABCDEF").
PyObject* planes_new(PyTypeObject* type, PyObject* args, PyObject* kwargs);

// tp_dealloc of the class.
void planes_dealloc(PyObject* object);

}  // namespace tavrin::binding
