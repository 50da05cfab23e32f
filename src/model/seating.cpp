// Seat assignment over seat numbers, and the text of a seat label. The checks run in a fixed
// order around the one shuffle: columns before any draw, the seat count before any
// allocation, passengers after the shuffle. A seat list never grows past what the target can
// index, what the draws can bound, or the machine's physical memory.
#include "seating.hpp"

#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <new>
#include <numeric>

#include "fatal.hpp"
#include "rng.hpp"
#include "utf8.hpp"

namespace tavrin {

namespace {

constexpr const char* NO_COLUMN_LETTER = "no column letter for seat ";
constexpr const char* COLS_HOLDS = ": cols holds ";
constexpr const char* CANNOT_HOLD = "cannot hold ";
constexpr const char* SEATS_AT_MOST = " seats: at most ";
constexpr const char* FIT = " fit";
constexpr const char* SEATS_OUT_OF_MEMORY = " seats: out of memory";

void append_decimal(std::string& out, std::uint64_t value) {
    char digits[20];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    out.append(digits, end);
}

// Every seat in the list is touched by the shuffle, so a list larger than the machine's memory
// could only thrash or be killed; refusing it up front keeps the failure clean.
std::uint64_t physical_memory_bytes() {
    static const std::uint64_t bytes = [] {
        const long pages = sysconf(_SC_PHYS_PAGES);
        const long page_size = sysconf(_SC_PAGESIZE);
        if (pages <= 0 || page_size <= 0) {
            return UINT64_MAX;
        }
        const auto p = static_cast<std::uint64_t>(pages);
        const auto s = static_cast<std::uint64_t>(page_size);
        return p > UINT64_MAX / s ? UINT64_MAX : p * s;
    }();
    return bytes;
}

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
    std::string message = CANNOT_HOLD;
    append_decimal(message, seats);
    message += SEATS_AT_MOST;
    append_decimal(message, limit);
    message += FIT;
    return message;
}

std::string out_of_memory_message(std::uint64_t seats) {
    std::string message = CANNOT_HOLD;
    append_decimal(message, seats);
    message += SEATS_OUT_OF_MEMORY;
    return message;
}

std::uint64_t max_seats_in_memory() {
    return std::min({MAX_SEATS, std::uint64_t{std::vector<SeatNumber>().max_size()},
                     physical_memory_bytes() / sizeof(SeatNumber)});
}

namespace seating_steps {

void check_columns(const Planes& planes) {
    const std::uint64_t letters = planes.cols.size();
    if (planes.seats >= 1 && letters < std::min(planes.seats, COLUMNS_PER_ROW)) {
        fail(no_column_letter_message(letters + 1, letters));
    }
}

void fill_seat_numbers(std::vector<SeatNumber>& seats, std::uint64_t count) {
    const std::uint64_t limit = std::min(max_seats_in_memory(), std::uint64_t{seats.max_size()});
    if (count > limit) {
        fail(too_many_seats_message(count, limit));
    }
    try {
        seats.resize(static_cast<std::size_t>(count));
    } catch (const std::bad_alloc&) {
        fail(out_of_memory_message(count));
    }
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
