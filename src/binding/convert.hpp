// Conversions between Python objects and the record's field types. Converters take a
// borrowed object and return the value, or throw the interpreter's or our PendingError; the
// caller adds the argument name (convert_argument). Result objects that cannot be made end
// the call fatally.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "error.hpp"

namespace tavrin::binding {

inline constexpr const char* STR_TO_VEC = "Can't extract `str` to `Vec`";
inline constexpr const char* NOT_ONE_CHARACTER = "expected a string of length 1";

// An int (bool and int subclasses included) or an object with __index__, as an unsigned
// 64-bit integer. Floats are refused; out-of-range values give the interpreter's OverflowError.
std::uint64_t to_u64(PyObject* object);

// The UTF-8 text of a str, the interpreter's error for a lone surrogate. A str subclass is
// read by its real text: PyPy hands such an object to native code by the length its __len__
// claims. `keep` owns the memory of the view when a copy had to be made.
std::string_view utf8_view(PyObject* text, Ref& keep);

// An iterator over `iterable` whose items PyIter_Next can take safely. PyPy hands an object
// to native code by calling some of its methods (a str subclass's __len__); when that fails
// inside PyIter_Next or PyDict_Next the process dies, and inside PyList_GetItem it leaves a
// broken object behind that kills the next garbage collection. Passed as the argument of a
// native function, the same failure is an ordinary exception: on PyPy the items first go
// through such a function, map(hand_over, iterable). CPython needs nothing.
Ref safe_iterator(PyObject* iterable);

// A sequence (not a str) of one-character strings, as code points: the `cols` setter.
std::vector<char32_t> to_char_list(PyObject* object);

// A str split into its code points: the constructor's `cols`.
std::vector<char32_t> str_to_chars(PyObject* object);

// New result objects; a failure to make one is the fatal "Python API call failed".
Ref make_int(std::uint64_t value);
Ref make_str(const std::string& utf8);
Ref make_float(double value);
Ref make_bool(bool value);
Ref make_char_list(const std::vector<char32_t>& chars);

}  // namespace tavrin::binding
