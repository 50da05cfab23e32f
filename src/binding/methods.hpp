// The constructor and the method table of the class.
#pragma once

#include "python.hpp"

namespace tavrin::binding {

PyObject* planes_new(PyTypeObject* type, PyObject* args, PyObject* kwargs);
PyMethodDef* planes_methods() noexcept;

}  // namespace tavrin::binding
