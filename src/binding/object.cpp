// The Planes object from birth to death: the constructor (argument binding, conversions,
// defaults, the None checks and the validation), allocation, the receiver check, the two
// borrows and deallocation.
#include "object.hpp"

#include <array>
#include <optional>
#include <string>

#include "args.hpp"
#include "convert.hpp"
#include "guard.hpp"

namespace tavrin::binding {

namespace {

PlanesObject* as_planes(PyObject* object) { return reinterpret_cast<PlanesObject*>(object); }

constexpr const char* EXPECTED_PASSENGERS = "Expected passengers";
constexpr const char* EXPECTED_SEATS = "Expected seats";
constexpr const char* EXPECTED_COLS = "Expected cols for each row on the plane";
constexpr const char* NOT_A_SUBTYPE = "Planes.__new__(): the type to create is not a subtype of Planes";

constexpr std::array<const char*, 3> NEW_PARAMETERS = {"passengers", "seats", "cols"};
constexpr FunctionDescription NEW_FUNCTION = {"Planes.__new__()", NEW_PARAMETERS, 0, 0};

// A constructor argument: its default when absent, nothing when None, otherwise converted.
template <class T, class Convert>
std::optional<T> constructor_argument(const Ref& given, T fallback, const char* name, Convert convert) {
    if (!given) {
        return fallback;
    }
    if (given.get() == Py_None) {
        return std::nullopt;
    }
    return convert_argument(convert, given.get(), name);
}

// A new object of `type` holding `record`, not borrowed.
Ref allocate_planes(PyTypeObject* type, Planes record) {
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    if (alloc == nullptr) {
        alloc = PyType_GenericAlloc;
    }
    Ref object = require(alloc(type, 0));
    PlanesObject* planes = as_planes(object.get());
    new (&planes->record_storage) Planes(std::move(record));
    new (&planes->borrow_flag) std::atomic<std::int32_t>(0);
    planes->constructed = true;
    return object;
}

Ref construct(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    // PyPy calls this for Planes.__new__(int) too; CPython refuses that itself.
    PyTypeObject* planes = planes_type();
    if (!PyType_Check(reinterpret_cast<PyObject*>(type)) || planes == nullptr || !PyType_IsSubtype(type, planes)) {
        throw PendingError::lazy(PyExc_TypeError, NOT_A_SUBTYPE);
    }
    BoundArguments<3> bound;
    bind_arguments(NEW_FUNCTION, args, kwargs, bound);
    // Every argument is converted before any None is refused.
    const auto passengers = constructor_argument<std::uint64_t>(bound[0], DEFAULT_PASSENGERS, "passengers", to_u64);
    const auto seats = constructor_argument<std::uint64_t>(bound[1], DEFAULT_SEATS, "seats", to_u64);
    auto cols = constructor_argument<std::vector<char32_t>>(
        bound[2], std::vector<char32_t>(std::begin(DEFAULT_COLS), std::end(DEFAULT_COLS)), "cols", str_to_chars);
    if (!passengers) {
        fail(EXPECTED_PASSENGERS);
    }
    if (!seats) {
        fail(EXPECTED_SEATS);
    }
    if (!cols) {
        fail(EXPECTED_COLS);
    }
    Planes record{std::move(*cols), *passengers, *seats};
    if (record.passengers > record.seats) {
        throw PendingError::lazy(PyExc_ValueError, "passengers (" + std::to_string(record.passengers) +
                                                       ") must not exceed seats (" + std::to_string(record.seats) + ")");
    }
    return allocate_planes(type, std::move(record));
}

}  // namespace

PlanesObject* check_receiver(PyObject* object) {
    PyTypeObject* type = planes_type();
    if (type == nullptr || !PyType_IsSubtype(Py_TYPE(object), type)) {
        throw PendingError::type_mismatch(object, "Planes");
    }
    return as_planes(object);
}

constexpr const char* ALREADY_MUTABLY_BORROWED = "Already mutably borrowed";
constexpr const char* ALREADY_BORROWED = "Already borrowed";

SharedBorrow::SharedBorrow(PlanesObject* object) {
    std::int32_t flag = object->borrow_flag.load(std::memory_order_relaxed);
    do {
        if (flag == -1) {
            throw PendingError::lazy(PyExc_RuntimeError, ALREADY_MUTABLY_BORROWED);
        }
    } while (!object->borrow_flag.compare_exchange_weak(flag, flag + 1, std::memory_order_acquire,
                                                         std::memory_order_relaxed));
    object_ = Ref::own(reinterpret_cast<PyObject*>(object));
}

SharedBorrow::~SharedBorrow() { as_planes(object_.get())->borrow_flag.fetch_sub(1, std::memory_order_release); }

const Planes& SharedBorrow::record() const { return as_planes(object_.get())->record(); }

ExclusiveBorrow::ExclusiveBorrow(PlanesObject* object) {
    std::int32_t expected = 0;
    if (!object->borrow_flag.compare_exchange_strong(expected, -1, std::memory_order_acquire,
                                                     std::memory_order_relaxed)) {
        throw PendingError::lazy(PyExc_RuntimeError, ALREADY_BORROWED);
    }
    object_ = Ref::own(reinterpret_cast<PyObject*>(object));
}

ExclusiveBorrow::~ExclusiveBorrow() { as_planes(object_.get())->borrow_flag.store(0, std::memory_order_release); }

Planes& ExclusiveBorrow::record() const { return as_planes(object_.get())->record(); }

PyObject* planes_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guard_object(" in Planes.__new__()", [&] { return construct(type, args, kwargs); });
}

constexpr const char* NO_TP_FREE = "PyBaseObject_Type should have tp_free";

void planes_dealloc(PyObject* object) {
    PyTypeObject* type = Py_TYPE(object);
    guard_unraisable(reinterpret_cast<PyObject*>(type), [&] {
        PlanesObject* planes = as_planes(object);
        if (planes->constructed) {
            planes->record_storage.~Planes();
            planes->constructed = false;
        }
        // A heap type's instances each hold a reference to it; keep the type (and object,
        // whose tp_free a base-less layout would use) alive until the memory is gone.
        const Ref type_ref = Ref::own(reinterpret_cast<PyObject*>(type));
        const Ref base_ref = Ref::own(reinterpret_cast<PyObject*>(&PyBaseObject_Type));
        auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
        if (free_slot == nullptr) {
            fail(NO_TP_FREE);
        }
        free_slot(object);
        Py_DECREF(reinterpret_cast<PyObject*>(type));
    });
}

}  // namespace tavrin::binding
