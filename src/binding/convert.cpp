// Python objects to record fields and back: integers, column letters, UTF-8 text of a str,
// the safe iteration that PyPy needs, and the result objects the entries return.
#include "convert.hpp"

#include <algorithm>
#include <cstddef>
#include <limits>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>

#include "guard.hpp"
#include "once.hpp"
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

std::uint64_t int_to_u64(PyObject* integer) {
    const unsigned long long value = PyLong_AsUnsignedLongLong(integer);
    if (value == static_cast<unsigned long long>(-1)) {
        require_no_error();
    }
    return static_cast<std::uint64_t>(value);
}

// Whether the pending error is an Exception other than MemoryError and RecursionError.
bool length_failure_is_ordinary() {
    return PyErr_ExceptionMatches(PyExc_Exception) != 0 && PyErr_ExceptionMatches(PyExc_MemoryError) == 0 &&
           PyErr_ExceptionMatches(PyExc_RecursionError) == 0;
}

// The code points of a str's text.
std::vector<char32_t> code_points(PyObject* text) {
    Ref keep;
    std::optional<std::vector<char32_t>> decoded = decode_utf8(utf8_view(text, keep));
    if (!decoded) {
        throw PendingError::lazy(PyExc_ValueError, "the interpreter returned malformed UTF-8");
    }
    return std::move(*decoded);
}

#ifdef PYPY_VERSION
// Returns its argument: an object passed through it has been handed to native code by the
// interpreter's call machinery, which reports a failure as an ordinary exception.
PyObject* hand_over(PyObject*, PyObject* object) {
    return guard_object([&] { return Ref::own(object); });
}

PyMethodDef hand_over_definition = {"hand_over", hand_over, METH_O, nullptr};
OnceCell hand_over_cell;
OnceCell map_cell;
#endif

}  // namespace

std::string_view utf8_view(PyObject* text, Ref& keep) {
    const char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyUnicode_CheckExact(text)) {
        data = PyUnicode_AsUTF8AndSize(text, &size);
        if (data == nullptr) {
            throw PendingError::fetch();
        }
    } else {
        keep = require(PyObject_CallMethod(reinterpret_cast<PyObject*>(&PyUnicode_Type), "encode", "Os", text, "utf-8"));
        require_status(PyBytes_AsStringAndSize(keep.get(), const_cast<char**>(&data), &size));
    }
    return std::string_view(data, static_cast<std::size_t>(size));
}

Ref safe_iterator(PyObject* iterable) {
    Ref iterator = require(PyObject_GetIter(iterable));
#ifdef PYPY_VERSION
    PyObject* function = hand_over_cell.get_or_init([] { return require(PyCFunction_New(&hand_over_definition, nullptr)); });
    PyObject* map = map_cell.get_or_init([] {
        const Ref builtins = require(PyImport_ImportModule("builtins"));
        return require(PyObject_GetAttrString(builtins.get(), "map"));
    });
    iterator = require(PyObject_CallFunctionObjArgs(map, function, iterator.get(), nullptr));
#endif
    return iterator;
}

std::uint64_t to_u64(PyObject* object) {
    if (PyLong_Check(object)) {
        return int_to_u64(object);
    }
    const Ref index = require(PyNumber_Index(object));
    return int_to_u64(index.get());
}

std::vector<char32_t> to_char_list(PyObject* object) {
    if (PyUnicode_Check(object)) {
        throw PendingError::lazy(PyExc_TypeError, STR_TO_VEC);
    }
    if (!PySequence_Check(object)) {
        throw PendingError::type_mismatch(object, "Sequence");
    }
    std::vector<char32_t> chars;
    const Py_ssize_t length = PySequence_Size(object);
    if (length < 0) {
        // The length only sizes the reservation: when it cannot be had (no __len__, one that
        // raises or returns a negative number, range(10**12) on a 32-bit target) the items
        // decide. Exhaustion (MemoryError, RecursionError) and what is no Exception
        // (KeyboardInterrupt, SystemExit, PanicException) end the conversion instead.
        if (!length_failure_is_ordinary()) {
            throw PendingError::fetch();
        }
        PyErr_Clear();
    } else {
        // The reported length is only a hint (range(10**12) fails on its first item), so it
        // must not decide how much memory is claimed up front.
        chars.reserve(static_cast<std::size_t>(std::min<Py_ssize_t>(length, MAX_RESERVED_COLUMNS)));
    }
    const Ref iterator = safe_iterator(object);
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        if (!PyUnicode_Check(item.get())) {
            throw PendingError::type_mismatch(item.get(), "PyString");
        }
        const std::vector<char32_t> points = code_points(item.get());
        if (points.size() != 1) {
            throw PendingError::lazy(PyExc_ValueError, NOT_ONE_CHARACTER);
        }
        chars.push_back(points.front());
    }
    require_no_error();
    return chars;
}

std::vector<char32_t> str_to_chars(PyObject* object) {
    if (!PyUnicode_Check(object)) {
        throw PendingError::type_mismatch(object, "PyString");
    }
    return code_points(object);
}

Ref make_int(std::uint64_t value) { return require_result(PyLong_FromUnsignedLongLong(value)); }

Ref make_str(const std::string& utf8) {
    return require_result(PyUnicode_FromStringAndSize(utf8.data(), static_cast<Py_ssize_t>(utf8.size())));
}

Ref make_float(double value) { return require_result(PyFloat_FromDouble(value)); }

Ref make_bool(bool value) { return Ref::own(value ? Py_True : Py_False); }

Ref make_char_list(const std::vector<char32_t>& chars) {
#ifdef PYPY_VERSION
    // Every object made in C crosses PyPy's C-API emulation: one str of all the letters, listed
    // by the interpreter itself, was six times faster than a list filled letter by letter.
    std::string text;
    for (const char32_t letter : chars) {
        append_utf8(text, letter);
    }
    return require_result(PySequence_List(make_str(text).get()));
#else
    Ref list = require_result(PyList_New(static_cast<Py_ssize_t>(chars.size())));
    std::string utf8;
    for (std::size_t i = 0; i < chars.size(); ++i) {
        utf8.clear();
        append_utf8(utf8, chars[i]);
        // A list whose later slots are still empty may be released, never shown to Python.
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), make_str(utf8).release());
    }
    return list;
#endif
}

}  // namespace tavrin::binding
