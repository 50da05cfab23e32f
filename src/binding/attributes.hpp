// The attribute table of the class: passengers, seats and cols.
#pragma once

#include <string_view>

#include "python.hpp"

namespace tavrin::binding {

PyGetSetDef* planes_attributes() noexcept;
bool is_planes_attribute(std::string_view name) noexcept;

}  // namespace tavrin::binding
