// The thread's own boarding, with a seat list of its own that is released when it returns.
#include "boarding.hpp"

#include "rng.hpp"

namespace tavrin {

bool run_simulation(const Planes& planes) {
    std::vector<SeatNumber> seats;
    return run_simulation(planes, thread_rng(), seats);
}

}  // namespace tavrin
