// The method table of the class.
#pragma once

#include "python.hpp"

namespace tavrin::binding {

PyMethodDef* planes_methods() noexcept;

}  // namespace tavrin::binding
