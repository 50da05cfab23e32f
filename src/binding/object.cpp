// The Planes object: allocation, the receiver check, the two borrows and deallocation.
#include "object.hpp"

#include "guard.hpp"

namespace tavrin::binding {

namespace {

PlanesObject* as_planes(PyObject* object) { return reinterpret_cast<PlanesObject*>(object); }

}  // namespace

Result<PlanesObject*> check_receiver(PyObject* object) {
    PyTypeObject* type = planes_type();
    if (type == nullptr || !PyType_IsSubtype(Py_TYPE(object), type)) {
        return PendingError::type_mismatch(object, "Planes");
    }
    return as_planes(object);
}

Result<SharedBorrow> SharedBorrow::take(PlanesObject* object) {
    std::int32_t flag = object->borrow_flag.load(std::memory_order_relaxed);
    do {
        if (flag == -1) {
            return PendingError::lazy(PyExc_RuntimeError, ALREADY_MUTABLY_BORROWED);
        }
    } while (!object->borrow_flag.compare_exchange_weak(flag, flag + 1, std::memory_order_acquire,
                                                         std::memory_order_relaxed));
    return SharedBorrow(Ref::own(reinterpret_cast<PyObject*>(object)));
}

SharedBorrow::~SharedBorrow() {
    if (object_) {
        as_planes(object_.get())->borrow_flag.fetch_sub(1, std::memory_order_release);
    }
}

const Planes& SharedBorrow::record() const { return as_planes(object_.get())->record(); }

Result<ExclusiveBorrow> ExclusiveBorrow::take(PlanesObject* object) {
    std::int32_t expected = 0;
    if (!object->borrow_flag.compare_exchange_strong(expected, -1, std::memory_order_acquire,
                                                     std::memory_order_relaxed)) {
        return PendingError::lazy(PyExc_RuntimeError, ALREADY_BORROWED);
    }
    return ExclusiveBorrow(Ref::own(reinterpret_cast<PyObject*>(object)));
}

ExclusiveBorrow::~ExclusiveBorrow() {
    if (object_) {
        as_planes(object_.get())->borrow_flag.store(0, std::memory_order_release);
    }
}

Planes& ExclusiveBorrow::record() const { return as_planes(object_.get())->record(); }

Result<SharedBorrow> borrow_shared(PyObject* self) {
    Result<PlanesObject*> receiver = check_receiver(self);
    if (!receiver) {
        return std::move(receiver.error());
    }
    return SharedBorrow::take(receiver.value());
}

Result<ExclusiveBorrow> borrow_exclusive(PyObject* self) {
    Result<PlanesObject*> receiver = check_receiver(self);
    if (!receiver) {
        return std::move(receiver.error());
    }
    return ExclusiveBorrow::take(receiver.value());
}

Result<Ref> allocate_planes(PyTypeObject* type, Planes record) {
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    if (alloc == nullptr) {
        alloc = PyType_GenericAlloc;
    }
    Ref object = Ref::steal(alloc(type, 0));
    if (!object) {
        return PendingError::fetch();
    }
    PlanesObject* planes = as_planes(object.get());
    new (&planes->record_storage) Planes(std::move(record));
    new (&planes->borrow_flag) std::atomic<std::int32_t>(0);
    planes->constructed = true;
    return object;
}

void planes_dealloc(PyObject* object) {
    PyTypeObject* type = Py_TYPE(object);
    guard_unraisable(reinterpret_cast<PyObject*>(type), [&]() -> Result<void> {
        PlanesObject* planes = as_planes(object);
        if (planes->constructed) {
            planes->record_storage.~Planes();
            planes->constructed = false;
        }
        // A heap type's instances each hold a reference to it; keep the type (and object,
        // whose tp_free a base-less layout would use) alive until the memory is gone.
        Ref type_ref = Ref::own(reinterpret_cast<PyObject*>(type));
        Ref base_ref = Ref::own(reinterpret_cast<PyObject*>(&PyBaseObject_Type));
        auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
        if (free_slot == nullptr) {
            fail(NO_TP_FREE);
        }
        free_slot(object);
        Py_DECREF(reinterpret_cast<PyObject*>(type));
        return {};
    });
}

}  // namespace tavrin::binding
