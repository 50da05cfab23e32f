// Seat assignment: every seat of the cabin is named by a label (decimal seat number, then the
// column letter cols[(number - 1) % 6]); the seat numbers are shuffled uniformly and passenger
// p is given the seat at place p - 1. Inside the model a seat is its number: labels of one
// record are distinct exactly when their numbers are, so text is made only when it leaves.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "config.hpp"

namespace tavrin {

// A seat number, 1 to seats. Seat lists hold at most 2^32 - 1 entries (the uniform draw
// takes bounds below 2^32), so 32 bits suffice on every target.
using SeatNumber = std::uint32_t;

// The ticket of every passenger for one boarding: seat_of[p - 1] is passenger p's seat.
// Holds exactly the passengers 1 to planes.passengers, with pairwise distinct seats.
struct SeatMap {
    std::vector<SeatNumber> seat_of;
};

// Draws a fresh SeatMap with the calling thread's generator. Fatal errors, in this order:
// a column list too short for the seats (before any draw), a seat count too large to hold,
// "Seat on a plane" when passengers exceed seats (after the shuffle).
SeatMap generate_seating(const Planes& planes);

// Appends the label of seat `number` ("7A"). The caller has checked that cols can label it.
void append_seat_label(std::string& out, const std::vector<char32_t>& cols, std::uint64_t number);

}  // namespace tavrin
