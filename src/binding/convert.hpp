// Conversions between Python objects and the record's field types. Converters take a
// borrowed object and return the value or the interpreter's/our error; the caller adds the
// argument name (argument_error). Result objects that cannot be made end the call fatally.
#pragma once

#include <cstdint>
#include <vector>

#include "error.hpp"

namespace tavrin::binding {

inline constexpr const char* STR_TO_VEC = "Can't extract `str` to `Vec`";
inline constexpr const char* NOT_ONE_CHARACTER = "expected a string of length 1";

// An int (bool and int subclasses included) or an object with __index__, as an unsigned
// 64-bit integer. Floats are refused; out-of-range values give the interpreter's OverflowError.
Result<std::uint64_t> to_u64(PyObject* object);

// A sequence (not a str) of one-character strings, as code points: the `cols` setter.
Result<std::vector<char32_t>> to_char_list(PyObject* object);

// A str split into its code points: the constructor's `cols`.
Result<std::vector<char32_t>> str_to_chars(PyObject* object);

// New result objects; a failure to make one is the fatal "Python API call failed".
Ref make_int(std::uint64_t value);
Ref make_str(const std::string& utf8);
Ref make_float(double value);
Ref make_bool(bool value);
Ref make_char_list(const std::vector<char32_t>& chars);

}  // namespace tavrin::binding
