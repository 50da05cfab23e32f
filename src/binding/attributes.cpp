// The attributes passengers, seats and cols: getters read under a shared borrow, setters
// convert first and then replace the field under an exclusive borrow, deletion is refused.
#include "attributes.hpp"

#include "convert.hpp"
#include "guard.hpp"
#include "object.hpp"

namespace tavrin::binding {

namespace {

constexpr const char* CANNOT_DELETE = "can't delete attribute";

template <class Read>
PyObject* get_field(PyObject* self, Read read) {
    // The interpreter's descriptor calls getters only for instances of the class.
    return guard_object([&] {
        const SharedBorrow borrow(reinterpret_cast<PlanesObject*>(self));
        return read(borrow.record());
    });
}

template <class Convert, class Store>
int set_field(PyObject* self, PyObject* value, const char* name, Convert convert, Store store) {
    return guard_status(" in a Planes attribute assignment", [&] {
        if (value == nullptr) {
            throw PendingError::lazy(PyExc_AttributeError, CANNOT_DELETE);
        }
        // Converted before the borrow: a wrongly typed value is reported even while borrowed.
        auto converted = convert_argument(convert, value, name);
        const ExclusiveBorrow borrow(check_receiver(self));
        store(borrow.record(), std::move(converted));
    });
}

PyObject* planes_get_passengers(PyObject* self, void*) {
    return get_field(self, [](const Planes& record) { return make_int(record.passengers); });
}

int planes_set_passengers(PyObject* self, PyObject* value, void*) {
    return set_field(self, value, "passengers", to_u64,
                     [](Planes& record, std::uint64_t passengers) { record.passengers = passengers; });
}

PyObject* planes_get_seats(PyObject* self, void*) {
    return get_field(self, [](const Planes& record) { return make_int(record.seats); });
}

int planes_set_seats(PyObject* self, PyObject* value, void*) {
    return set_field(self, value, "seats", to_u64, [](Planes& record, std::uint64_t seats) { record.seats = seats; });
}

PyObject* planes_get_cols(PyObject* self, void*) {
    return get_field(self, [](const Planes& record) { return make_char_list(record.cols); });
}

int planes_set_cols(PyObject* self, PyObject* value, void*) {
    return set_field(self, value, "cols", to_char_list,
                     [](Planes& record, std::vector<char32_t> cols) { record.cols = std::move(cols); });
}

// The interpreter keeps pointers into this table for the life of the class.
char EMPTY_DOC[] = "";
PyGetSetDef planes_getset[] = {
    {"passengers", planes_get_passengers, planes_set_passengers, EMPTY_DOC, nullptr},
    {"seats", planes_get_seats, planes_set_seats, EMPTY_DOC, nullptr},
    {"cols", planes_get_cols, planes_set_cols, EMPTY_DOC, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyGetSetDef* planes_attributes() noexcept { return planes_getset; }

bool is_planes_attribute(std::string_view name) noexcept {
    for (const PyGetSetDef* entry = planes_getset; entry->name != nullptr; ++entry) {
        if (name == entry->name) {
            return true;
        }
    }
    return false;
}

}  // namespace tavrin::binding
