// The dict that generate_seating() returns: passenger number to seat label, in passenger order.
#pragma once

#include <vector>

#include "error.hpp"
#include "planes.hpp"

namespace tavrin::binding {

// {1: label of seating.seat_of[0], 2: ..., n: ...}, inserted in that order.
Ref seating_to_dict(const std::vector<char32_t>& cols, const SeatMap& seating);

}  // namespace tavrin::binding
