// Seat assignment: every seat of the cabin is named by a label (decimal seat number, then the
// column letter cols[(number - 1) % 6]); the seat numbers are shuffled uniformly and passenger
// p is given the seat at place p - 1. Inside the model a seat is its number: labels of one
// record are distinct exactly when their numbers are, so text is made only when it leaves.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "config.hpp"
#include "draws.hpp"

namespace tavrin {

// A seat number, 1 to seats. Seat lists hold at most 2^32 - 1 entries (the uniform draw
// takes bounds below 2^32), so 32 bits suffice on every target.
using SeatNumber = std::uint32_t;

// The ticket of every passenger for one boarding: seat_of[p - 1] is passenger p's seat.
// Holds exactly the passengers 1 to planes.passengers, with pairwise distinct seats.
struct SeatMap {
    std::vector<SeatNumber> seat_of;
};

inline constexpr const char* SEAT_ON_A_PLANE = "Seat on a plane";

// The most seats a seat list can hold on any target; memory may allow fewer.
inline constexpr std::uint64_t MAX_SEATS = UINT32_MAX;

// The most seats one seat list may hold in `budget_bytes`: also below 2^32 and within what a
// vector can index on this target.
std::uint64_t max_seats_within(std::uint64_t budget_bytes);

// Fails unless a seating of `planes` and a result taking `result_bytes_per_passenger` bytes
// per passenger fit in the memory budget together, before any of it is built. Fails first as
// generate_seating would for a column list too short or a seat list too large; a record with
// more passengers than seats has no result to hold.
void check_seating_result_fits(const Planes& planes, std::uint64_t result_bytes_per_passenger);

// Draws a fresh SeatMap with the calling thread's generator. Fatal errors, in this order:
// a column list too short for the seats (before any draw), a seat count too large to hold,
// "Seat on a plane" when passengers exceed seats (after the shuffle).
SeatMap generate_seating(const Planes& planes);

// Appends the label of seat `number` ("7A"), for number >= 1. Fails like generate_seating
// when cols holds no letter for it.
void append_seat_label(std::string& out, const std::vector<char32_t>& cols, std::uint64_t number);

// "no column letter for seat <seat>: cols holds <letters> letters" ("1 letter" for one).
std::string no_column_letter_message(std::uint64_t seat, std::uint64_t letters);
// "cannot hold <seats> seats: at most <limit> fit"
std::string too_many_seats_message(std::uint64_t seats, std::uint64_t limit);
// "cannot hold <seats> seats: out of memory"
std::string out_of_memory_message(std::uint64_t seats);
// "cannot hold <passengers> passengers: at most <limit> fit"
std::string too_many_passengers_message(std::uint64_t passengers, std::uint64_t limit);

// The steps of a seat assignment that draw nothing, in the order they must run.
namespace seating_steps {
// Fails unless cols labels every seat, naming the first seat that lacks a letter.
void check_columns(const Planes& planes);
// Makes `seats` hold count entries, reusing its capacity, with the failures of
// fill_seat_numbers; the entries are unspecified.
void hold_seat_list(std::vector<SeatNumber>& seats, std::uint64_t count);
// Makes `seats` hold 1, 2, ..., count in ascending order, reusing its capacity. Fails without
// allocating when the count cannot be held or a list that must grow does not fit the budget.
void fill_seat_numbers(std::vector<SeatNumber>& seats, std::uint64_t count);
// Fails with "Seat on a plane" when there are more passengers than seats.
void check_passengers_fit(const Planes& planes);
}  // namespace seating_steps

// Leaves in `seats` all seat numbers in uniformly shuffled order, so that its first
// planes.passengers entries are the tickets of passengers 1, 2, ... The full list is shuffled
// (seats - 1 draws) whatever the number of passengers.
template <WordSource G>
void draw_seating(const Planes& planes, std::vector<SeatNumber>& seats, G& g) {
    seating_steps::check_columns(planes);
    seating_steps::fill_seat_numbers(seats, planes.seats);
    shuffle(g, std::span<SeatNumber>(seats));
    seating_steps::check_passengers_fit(planes);
}

// generate_seating drawing from `g`.
template <WordSource G>
SeatMap generate_seating(const Planes& planes, G& g) {
    SeatMap map;
    draw_seating(planes, map.seat_of, g);
    // Passengers do not exceed seats here, so the count fits the list.
    map.seat_of.resize(static_cast<std::size_t>(planes.passengers));
    map.seat_of.shrink_to_fit();
    return map;
}

}  // namespace tavrin
