#include "convert.hpp"

#include <algorithm>
#include <cstddef>
#include <limits>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>

#include "planes.hpp"

namespace tavrin::binding {

namespace {

// The integer functions of the interpreter's headers must carry 64-bit values on every target
// (PyPy declares some with its own word-sized types): a header that narrows them breaks the
// build here instead of truncating passengers, seats or iterations.
template <class Function>
struct FunctionTypes;
template <class R, class... A>
struct FunctionTypes<R (*)(A...)> {
    using Returns = R;
    using First = std::tuple_element_t<0, std::tuple<A...>>;
};
template <class T>
inline constexpr bool holds_u64 = std::is_integral_v<T> && std::is_unsigned_v<T> && std::numeric_limits<T>::digits >= 64;

static_assert(holds_u64<FunctionTypes<decltype(&PyLong_AsUnsignedLongLong)>::Returns>,
              "PyLong_AsUnsignedLongLong must return an unsigned type of at least 64 bits");
static_assert(holds_u64<FunctionTypes<decltype(&PyLong_FromUnsignedLongLong)>::First>,
              "PyLong_FromUnsignedLongLong must take an unsigned type of at least 64 bits");
// Sizes cross as Py_ssize_t: it must span what a std::size_t indexes on this target.
static_assert(sizeof(Py_ssize_t) == sizeof(std::size_t), "Py_ssize_t and std::size_t differ in width");

constexpr Py_ssize_t MAX_RESERVED_COLUMNS = 4096;

Result<std::uint64_t> int_to_u64(PyObject* integer) {
    const unsigned long long value = PyLong_AsUnsignedLongLong(integer);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) {
        return PendingError::fetch();
    }
    return static_cast<std::uint64_t>(value);
}

// The code points of a str's UTF-8 text; the interpreter's error for a lone surrogate.
Result<std::vector<char32_t>> code_points(PyObject* text) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text, &size);
    if (data == nullptr) {
        return PendingError::fetch();
    }
    std::optional<std::vector<char32_t>> decoded = decode_utf8(std::string_view(data, static_cast<std::size_t>(size)));
    if (!decoded) {
        return PendingError::lazy(PyExc_ValueError, "the interpreter returned malformed UTF-8");
    }
    return std::move(*decoded);
}

}  // namespace

Result<std::uint64_t> to_u64(PyObject* object) {
    if (PyLong_Check(object)) {
        return int_to_u64(object);
    }
    Ref index = Ref::steal(PyNumber_Index(object));
    if (!index) {
        return PendingError::fetch();
    }
    return int_to_u64(index.get());
}

Result<std::vector<char32_t>> to_char_list(PyObject* object) {
    if (PyUnicode_Check(object)) {
        return PendingError::lazy(PyExc_TypeError, STR_TO_VEC);
    }
    if (!PySequence_Check(object)) {
        return PendingError::type_mismatch(object, "Sequence");
    }
    std::vector<char32_t> chars;
    const Py_ssize_t length = PySequence_Size(object);
    if (length < 0) {
        PyErr_Clear();
    } else {
        // The reported length is only a hint (range(10**12) fails on its first item), so it
        // must not decide how much memory is claimed up front.
        chars.reserve(static_cast<std::size_t>(std::min<Py_ssize_t>(length, MAX_RESERVED_COLUMNS)));
    }
    Ref iterator = Ref::steal(PyObject_GetIter(object));
    if (!iterator) {
        return PendingError::fetch();
    }
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        if (!PyUnicode_Check(item.get())) {
            return PendingError::type_mismatch(item.get(), "PyString");
        }
        Result<std::vector<char32_t>> points = code_points(item.get());
        if (!points) {
            return std::move(points.error());
        }
        if (points.value().size() != 1) {
            return PendingError::lazy(PyExc_ValueError, NOT_ONE_CHARACTER);
        }
        chars.push_back(points.value().front());
    }
    if (PyErr_Occurred() != nullptr) {
        return PendingError::fetch();
    }
    return chars;
}

Result<std::vector<char32_t>> str_to_chars(PyObject* object) {
    if (!PyUnicode_Check(object)) {
        return PendingError::type_mismatch(object, "PyString");
    }
    return code_points(object);
}

Ref make_int(std::uint64_t value) {
    Ref result = Ref::steal(PyLong_FromUnsignedLongLong(value));
    if (!result) {
        api_call_failed();
    }
    return result;
}

Ref make_str(const std::string& utf8) {
    Ref result = Ref::steal(PyUnicode_FromStringAndSize(utf8.data(), static_cast<Py_ssize_t>(utf8.size())));
    if (!result) {
        api_call_failed();
    }
    return result;
}

Ref make_float(double value) {
    Ref result = Ref::steal(PyFloat_FromDouble(value));
    if (!result) {
        api_call_failed();
    }
    return result;
}

Ref make_bool(bool value) { return Ref::own(value ? Py_True : Py_False); }

Ref make_char_list(const std::vector<char32_t>& chars) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(chars.size())));
    if (!list) {
        api_call_failed();
    }
    std::string utf8;
    for (std::size_t i = 0; i < chars.size(); ++i) {
        utf8.clear();
        append_utf8(utf8, chars[i]);
        // A list whose later slots are still empty may be released, never shown to Python.
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), make_str(utf8).release());
    }
    return list;
}

}  // namespace tavrin::binding
