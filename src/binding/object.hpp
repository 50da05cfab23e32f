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

inline constexpr const char* ALREADY_MUTABLY_BORROWED = "Already mutably borrowed";
inline constexpr const char* ALREADY_BORROWED = "Already borrowed";
inline constexpr const char* NO_TP_FREE = "PyBaseObject_Type should have tp_free";

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

// The receiver of a method or setter, if it is a Planes object; a type-mismatch TypeError
// with the target "Planes" otherwise.
Result<PlanesObject*> check_receiver(PyObject* object);

class SharedBorrow {
public:
    [[nodiscard]] static Result<SharedBorrow> take(PlanesObject* object);
    SharedBorrow(SharedBorrow&& other) noexcept = default;
    SharedBorrow& operator=(SharedBorrow&&) = delete;
    ~SharedBorrow();
    [[nodiscard]] const Planes& record() const;

private:
    explicit SharedBorrow(Ref object) noexcept : object_(std::move(object)) {}
    Ref object_;
};

class ExclusiveBorrow {
public:
    [[nodiscard]] static Result<ExclusiveBorrow> take(PlanesObject* object);
    ExclusiveBorrow(ExclusiveBorrow&& other) noexcept = default;
    ExclusiveBorrow& operator=(ExclusiveBorrow&&) = delete;
    ~ExclusiveBorrow();
    [[nodiscard]] Planes& record() const;

private:
    explicit ExclusiveBorrow(Ref object) noexcept : object_(std::move(object)) {}
    Ref object_;
};

// The receiver check followed by the borrow: what methods and setters do on entry.
Result<SharedBorrow> borrow_shared(PyObject* self);
Result<ExclusiveBorrow> borrow_exclusive(PyObject* self);

// tp_new of the class: Planes(passengers=100, seats=100, cols="ABCDEF").
PyObject* planes_new(PyTypeObject* type, PyObject* args, PyObject* kwargs);

// tp_dealloc of the class.
void planes_dealloc(PyObject* object);

}  // namespace tavrin::binding
