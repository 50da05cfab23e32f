// One boarding of the seeded count written down: the tickets its seat shuffle gave and every
// draw of its chain of displaced passengers, from exactly the words the count takes for it.
// Apart from the count's hot loop: it builds the seat list the count only skips, and keeps what
// the count throws away. Nothing here is on the counting path.
#pragma once

#include <cstdint>
#include <vector>

#include "boarding.hpp"
#include "chacha.hpp"
#include "counting.hpp"
#include "draws.hpp"
#include "seating.hpp"

namespace tavrin {

struct BoardingRecord {
    // Passenger p's seat is tickets[p - 1].
    std::vector<SeatNumber> tickets;
    // The passengers who drew a free seat, in boarding order (passenger 1 first), and for each
    // the place it drew in the free-seat list, which is then [t1, t(d+1), ..., tP] for drawer d:
    // place 0 is passenger 1's seat and ends the chain, place k >= 1 is passenger d + k's seat.
    std::vector<std::uint32_t> drawers;
    std::vector<std::uint32_t> places;
    // The last passenger sat in their own seat.
    bool outcome = false;
    // The words of the block's stream where this boarding began and where the next one begins.
    std::uint64_t start_position = 0;
    std::uint64_t stop_position = 0;
};

// The boarding `g` gives next, with the words, draws and outcome of run_simulation(planes, g):
// the seat list shuffled in full, then the chain. `planes` must board (check_countable).
template <WordSource G>
void record_boarding(const Planes& planes, G& g, BoardingRecord& record) {
    draw_seating(planes, record.tickets, g);
    record.tickets.resize(static_cast<std::size_t>(planes.passengers));
    const auto last = static_cast<std::uint32_t>(planes.passengers);
    record.drawers.clear();
    record.places.clear();
    std::uint32_t drawer = 1;
    for (;;) {
        const std::uint32_t place = uniform_below(g, last - drawer + 1);
        record.drawers.push_back(drawer);
        record.places.push_back(place);
        if (place == 0) {
            break;
        }
        drawer += place;
    }
    record.outcome = last == 1 || drawer != last;
}

struct BoardingRequest {
    ChaChaKey key{};
    std::uint64_t block_size = 1;
    // Boarding number `index`, below 2^64 - 1 (the last one a range can end after).
    std::uint64_t index = 0;
    // The word of its block's stream where boarding `index` begins, as a count's stop_position
    // gives it; unknown: the boardings of the block before it are run to find it.
    std::uint64_t start_position = UNKNOWN_POSITION;
    ChaChaRefillFunction refill = chacha_paths().front().rounds12;
};

// Boarding `request.index` of the seeded run, as count_boardings makes it: the skip to its place
// in its block (unless its position is given), then one recorded boarding. Refusals as
// count_boardings', CountErrors (bad_value, no_memory), before any work.
BoardingRecord record_seeded_boarding(const Planes& planes, const BoardingRequest& request);

}  // namespace tavrin
