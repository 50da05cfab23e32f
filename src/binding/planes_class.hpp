// The class object of Planes, created once per process from its type description.
#pragma once

#include "error.hpp"

namespace tavrin::binding {

inline constexpr const char* CLASS_INIT_FAILED = "An error occurred while initializing class Planes";

// The class object (borrowed), creating it on first use. On failure throws a RuntimeError
// whose cause is the error of the failing step.
PyObject* planes_class();

}  // namespace tavrin::binding
