// The thread's own boarding: its generator, and a seat list kept per thread so that repeated
// boardings allocate nothing once the list has grown to the cabin. A list that grew past
// SCRATCH_KEEP_BYTES is released after the boarding, so one huge plane does not pin its
// memory for the rest of the thread.
#include "boarding.hpp"

#include "rng.hpp"

namespace tavrin {

namespace {

constexpr std::size_t SCRATCH_KEEP_BYTES = std::size_t{4} << 20;

thread_local std::vector<SeatNumber> scratch_seats;

class ScratchTrim {
public:
    ScratchTrim() = default;
    ScratchTrim(const ScratchTrim&) = delete;
    ScratchTrim& operator=(const ScratchTrim&) = delete;
    ~ScratchTrim() {
        if (scratch_seats.capacity() > SCRATCH_KEEP_BYTES / sizeof(SeatNumber)) {
            std::vector<SeatNumber>().swap(scratch_seats);
        }
    }
};

}  // namespace

bool run_simulation(const Planes& planes) {
    const ScratchTrim trim;
    return run_simulation(planes, thread_rng(), scratch_seats);
}

}  // namespace tavrin
