// One boarding of the puzzle: passenger 1 sits in a uniformly drawn free seat, every later
// passenger in their own seat when it is free and otherwise in a uniformly drawn free seat.
// Runs in time linear in the seats: the shuffle of the seating dominates, the boarding itself
// only follows the chain of displaced passengers.
#pragma once

#include <cstdint>
#include <vector>

#include "config.hpp"
#include "draws.hpp"
#include "fatal.hpp"
#include "seating.hpp"

namespace tavrin {

inline constexpr const char* NO_ENTRY_FOUND_FOR_KEY = "no entry found for key";

// True when the last passenger ends up in their own seat. Draws a fresh SeatMap first and
// fails as generate_seating does; with 0 passengers it fails with "no entry found for key".
bool run_simulation(const Planes& planes);

// Boards passengers 1 to P (at least 1, below 2^32), passenger p holding ticket tp, all seats
// different, and returns the passenger who ends in t1's seat: P when the draws reach the last
// passenger, who then sits in their own seat only if P = 1.
//
// The free-seat list is that of the plain algorithm, started in passenger order
// [t1, t2, ..., tP], losing one entry per boarding with the order of the rest kept, and drawn
// from by position. Invariant: whenever a passenger d must draw (d = 1, or d's seat is taken),
// the list is [t1, t(d+1), ..., tP]. It holds for d = 1. If d draws position k >= 1, d takes
// t(d+k); passengers d+1 .. d+k-1 find their seats free and take them off the front of the
// tail in order; passenger d+k finds their seat taken and sees [t1, t(d+k+1), ..., tP]. If d
// draws position 0, d takes t1 and every later ticket is free: nobody draws again. So each
// draw is over P - d + 1 entries and consumes the words the plain algorithm would.
//
// The tickets themselves decide nothing: passenger P sits in their own seat exactly when the
// passenger who took t1 is not P, or P = 1.
template <WordSource G>
std::uint32_t last_drawer(std::uint32_t last, G& g) {
    // 32-bit counts: a 64-bit drawer took two registers and spilled in the 32-bit x86 build.
    std::uint32_t drawer = 1;
    WordCursor<G> words(g);
    // One word per turn, without a branch but the loop's own (draws.hpp): a rejected word
    // moves nobody, a kept k >= 1 hands the draw on to passenger drawer + k, a kept 0 ends it.
    std::uint32_t ended = 0;
    do {
        const Attempt attempt = attempt_below(words(), last - drawer + 1);
        drawer += select(attempt.kept, attempt.value, 0);
        ended = attempt.kept & std::uint32_t{attempt.value == 0};
    } while (ended == 0);
    return drawer;
}

// run_simulation drawing from `g`, with `seats` as the seat list's room. The outcome depends
// only on the words (see last_drawer()), not on which seat the shuffle gave whom, so the seating's
// shuffle only takes its words here: the list is sized and checked as draw_seating does, with
// the same failures in the same order, but neither numbered nor shuffled.
template <WordSource G>
bool run_simulation(const Planes& planes, G& g, std::vector<SeatNumber>& seats) {
    seating_steps::check_columns(planes);
    seating_steps::hold_seat_list(seats, planes.seats);
    // The seat count fits the list, so 32 bits.
    skip_shuffle(g, static_cast<std::uint32_t>(planes.seats));
    seating_steps::check_passengers_fit(planes);
    if (planes.passengers == 0) {
        fail(NO_ENTRY_FOUND_FOR_KEY);
    }
    const auto passengers = static_cast<std::uint32_t>(planes.passengers);
    // Passenger 1 draws even alone: the words are taken whatever the answer.
    const std::uint32_t drawer = last_drawer(passengers, g);
    return passengers == 1 || drawer != passengers;
}

}  // namespace tavrin
