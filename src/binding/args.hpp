// The argument parser: binds the positional and keyword arguments of a call to the
// parameters of a function description, for both calling forms the module receives (a tuple
// and a dict, or a vector and a tuple of keyword names). The last `keyword_only` parameters
// are keyword-only, the others positional-or-keyword; the first `required` ones are required.
#pragma once

#include <array>
#include <cstddef>
#include <span>

#include "error.hpp"

namespace tavrin::binding {

struct FunctionDescription {
    // As messages name the function: "Planes.run_simulations()".
    const char* name;
    std::span<const char* const> parameters;
    std::size_t required;
    std::size_t keyword_only;
};

// One slot per parameter; an empty Ref means the argument was not given.
template <std::size_t N>
using BoundArguments = std::array<Ref, N>;

// tp_new form: `args` is a tuple, `kwargs` a dict or null. Throws a TypeError when the call
// does not fit, or the interpreter's error.
void bind_arguments(const FunctionDescription& function, PyObject* args, PyObject* kwargs, std::span<Ref> slots);

// METH_FASTCALL | METH_KEYWORDS form: the keyword values follow the positional ones in `args`.
void bind_arguments(const FunctionDescription& function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    std::span<Ref> slots);

}  // namespace tavrin::binding
