// The thread's own boarding, with a seat list of its own that is released when it returns.
#include "boarding.hpp"

#include "rng.hpp"

namespace tavrin {

bool run_simulation(const Planes& planes) {
    std::vector<SeatNumber> seats;
    ThreadRng::Cursor words(thread_rng());
    return run_simulation(planes, words, seats);
}

}  // namespace tavrin
