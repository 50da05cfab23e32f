// Seat assignment over seat numbers, and the text of a seat label. The checks run in a fixed
// order around the one shuffle: columns before any draw, the seat count before any
// allocation, passengers after the shuffle. A seat list never grows past what the target can
// index, what the draws can bound, or the process's memory budget.
#include "seating.hpp"

#include <algorithm>
#include <charconv>
#include <new>
#include <numeric>

#include "chacha.hpp"
#include "fatal.hpp"
#include "memory.hpp"
#include "rng.hpp"
#include "utf8.hpp"

#if defined(TAVRIN_CHACHA_X86) && !defined(__SSE2__)
#define TAVRIN_SEAT_NUMBERS_SSE2 1
#endif

namespace tavrin {

namespace {

constexpr const char* NO_COLUMN_LETTER = "no column letter for seat ";
constexpr const char* COLS_HOLDS = ": cols holds ";
constexpr const char* CANNOT_HOLD = "cannot hold ";
constexpr const char* SEATS_AT_MOST = " seats: at most ";
constexpr const char* FIT = " fit";
constexpr const char* SEATS_OUT_OF_MEMORY = " seats: out of memory";
constexpr const char* PASSENGERS_AT_MOST = " passengers: at most ";

void append_decimal(std::string& out, std::uint64_t value) {
    char digits[20];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    out.append(digits, end);
}

// "cannot hold <count><what><limit> fit"
std::string cannot_hold_message(std::uint64_t count, const char* what, std::uint64_t limit) {
    std::string message = CANNOT_HOLD;
    append_decimal(message, count);
    message += what;
    append_decimal(message, limit);
    message += FIT;
    return message;
}

#ifdef TAVRIN_SEAT_NUMBERS_SSE2
// A 32-bit x86 build targets processors without SSE2, so its plain numbering loop stores one
// word at a time; this copy, run where the processor has SSE2, stores four.
[[gnu::flatten, gnu::target("sse2")]] void number_seats_sse2(SeatNumber* first, SeatNumber* last) {
    std::iota(first, last, SeatNumber{1});
}
#endif

}  // namespace

std::string no_column_letter_message(std::uint64_t seat, std::uint64_t letters) {
    std::string message = NO_COLUMN_LETTER;
    append_decimal(message, seat);
    message += COLS_HOLDS;
    append_decimal(message, letters);
    message += letters == 1 ? " letter" : " letters";
    return message;
}

std::string too_many_seats_message(std::uint64_t seats, std::uint64_t limit) {
    return cannot_hold_message(seats, SEATS_AT_MOST, limit);
}

std::string out_of_memory_message(std::uint64_t seats) {
    std::string message = CANNOT_HOLD;
    append_decimal(message, seats);
    message += SEATS_OUT_OF_MEMORY;
    return message;
}

std::string too_many_passengers_message(std::uint64_t passengers, std::uint64_t limit) {
    return cannot_hold_message(passengers, PASSENGERS_AT_MOST, limit);
}

std::uint64_t max_seats_within(std::uint64_t budget_bytes) {
    return std::min({MAX_SEATS, std::uint64_t{std::vector<SeatNumber>().max_size()},
                     budget_bytes / sizeof(SeatNumber)});
}

void check_seating_result_fits(const Planes& planes, std::uint64_t result_bytes_per_passenger) {
    seating_steps::check_columns(planes);
    // The seat list, then the tickets and the result while the list may still be held.
    const std::uint64_t list_bytes = saturating_bytes(planes.seats, sizeof(SeatNumber));
    const std::uint64_t passengers = planes.passengers <= planes.seats ? planes.passengers : 0;
    const std::uint64_t per_passenger = sizeof(SeatNumber) + result_bytes_per_passenger;
    const std::uint64_t result_bytes = saturating_bytes(passengers, per_passenger);
    const std::uint64_t needed = list_bytes > UINT64_MAX - result_bytes ? UINT64_MAX : list_bytes + result_bytes;
    const std::uint64_t budget = memory_budget_for(needed);
    const std::uint64_t most_seats = max_seats_within(budget);
    if (planes.seats > most_seats) {
        fail(too_many_seats_message(planes.seats, most_seats));
    }
    if (needed > budget) {
        fail(too_many_passengers_message(planes.passengers, (budget - list_bytes) / per_passenger));
    }
}

namespace seating_steps {

void check_columns(const Planes& planes) {
    const std::uint64_t letters = planes.cols.size();
    if (planes.seats >= 1 && letters < std::min(planes.seats, COLUMNS_PER_ROW)) {
        fail(no_column_letter_message(letters + 1, letters));
    }
}

void hold_seat_list(std::vector<SeatNumber>& seats, std::uint64_t count) {
    // A list that keeps its capacity needs no memory beyond what it holds.
    const std::uint64_t growth = count > seats.capacity() ? saturating_bytes(count, sizeof(SeatNumber)) : 0;
    const std::uint64_t limit = max_seats_within(memory_budget_for(growth));
    if (count > limit) {
        fail(too_many_seats_message(count, limit));
    }
    try {
        seats.resize(static_cast<std::size_t>(count));
    } catch (const std::bad_alloc&) {
        fail(out_of_memory_message(count));
    }
}

void fill_seat_numbers(std::vector<SeatNumber>& seats, std::uint64_t count) {
    hold_seat_list(seats, count);
#ifdef TAVRIN_SEAT_NUMBERS_SSE2
    if (processor_has_sse2()) {
        number_seats_sse2(seats.data(), seats.data() + seats.size());
        return;
    }
#endif
    std::iota(seats.begin(), seats.end(), SeatNumber{1});
}

void check_passengers_fit(const Planes& planes) {
    if (planes.passengers > planes.seats) {
        fail(SEAT_ON_A_PLANE);
    }
}

}  // namespace seating_steps

SeatMap generate_seating(const Planes& planes) { return generate_seating(planes, thread_rng()); }

void append_seat_label(std::string& out, const std::vector<char32_t>& cols, std::uint64_t number) {
    const std::uint64_t column = (number - 1) % COLUMNS_PER_ROW;
    if (column >= cols.size()) {
        fail(no_column_letter_message(number, cols.size()));
    }
    append_decimal(out, number);
    append_utf8(out, cols[static_cast<std::size_t>(column)]);
}

}  // namespace tavrin
