// One boarding of the puzzle: passenger 1 sits in a uniformly drawn free seat, every later
// passenger in their own seat when it is free and otherwise in a uniformly drawn free seat.
#pragma once

#include "config.hpp"

namespace tavrin {

// True when the last passenger ends up in their own seat. Draws a fresh SeatMap first and
// fails as generate_seating does; with 0 passengers it fails with "no entry found for key".
bool run_simulation(const Planes& planes);

}  // namespace tavrin
