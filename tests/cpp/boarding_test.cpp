// One boarding, held against a literal reference of the plain algorithm (labels as text, an
// order-keeping free-seat list scanned from the front and shifted on removal): same outcome and
// same words consumed for many seeds. Then the failures and the outcome's distribution.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "boarding.hpp"
#include "config.hpp"
#include "fatal.hpp"
#include "seating.hpp"
#include "failures.hpp"
#include "word_sources.hpp"

namespace tavrin {
namespace {

using testing_support::CountingWords;
using testing_support::failure_of;
using testing_support::ScriptedWords;
using testing_support::seeded_chacha12;
using testing_support::ZeroWords;

const std::vector<char32_t> DEFAULT_COLUMNS(std::begin(DEFAULT_COLS), std::end(DEFAULT_COLS));

Planes plane(std::uint64_t passengers, std::uint64_t seats) { return Planes{DEFAULT_COLUMNS, passengers, seats}; }


// The plain algorithm, word for word: label list in seat order, shuffled; passenger p holds
// the label at place p - 1; the free-seat list is every passenger's label in passenger order.
template <WordSource G>
bool literal_boarding(const Planes& planes, G& g) {
    std::vector<std::string> labels;
    for (std::uint64_t number = 1; number <= planes.seats; ++number) {
        labels.emplace_back();
        append_seat_label(labels.back(), planes.cols, number);
    }
    shuffle(g, std::span<std::string>(labels));
    const std::vector<std::string> tickets(labels.begin(),
                                           labels.begin() + static_cast<std::ptrdiff_t>(planes.passengers));
    std::vector<std::string> free_seats = tickets;
    std::string current;
    for (std::size_t p = 1; p <= tickets.size(); ++p) {
        std::optional<std::string> own;
        if (p != 1) {
            const auto found = std::find(free_seats.begin(), free_seats.end(), tickets[p - 1]);
            if (found != free_seats.end()) {
                own = *found;
            }
        }
        if (own) {
            current = *own;
        } else {
            const auto n = static_cast<std::uint32_t>(free_seats.size());
            current = free_seats[uniform_below(g, n)];
        }
        free_seats.erase(std::find(free_seats.begin(), free_seats.end(), current));
    }
    return current == tickets.back();
}

TEST(Boarding, AgreesWithThePlainAlgorithmOnOutcomeAndWordsConsumed) {
    struct Size {
        std::uint64_t passengers;
        std::uint64_t seats;
        std::uint32_t seeds;
    };
    const Size sizes[] = {{1, 1, 200},   {2, 2, 2000},  {3, 3, 2000},   {5, 5, 2000},   {10, 10, 2000},
                          {3, 10, 2000}, {7, 64, 1000}, {50, 100, 500}, {100, 100, 500}, {300, 300, 100}};
    std::vector<SeatNumber> scratch;
    for (const Size& size : sizes) {
        const Planes planes = plane(size.passengers, size.seats);
        int true_outcomes = 0;
        for (std::uint32_t seed = 0; seed < size.seeds; ++seed) {
            SCOPED_TRACE(::testing::Message() << size.passengers << " passengers, " << size.seats
                                              << " seats, seed " << seed);
            CountingWords fast(seeded_chacha12(seed));
            CountingWords literal(seeded_chacha12(seed));
            const bool outcome = run_simulation(planes, fast, scratch);
            ASSERT_EQ(outcome, literal_boarding(planes, literal));
            ASSERT_EQ(fast.consumed(), literal.consumed());
            true_outcomes += outcome ? 1 : 0;
        }
        // Both outcomes occur for every size above one passenger, so the comparison saw both.
        if (size.passengers > 1) {
            EXPECT_GT(true_outcomes, 0);
            EXPECT_LT(true_outcomes, static_cast<int>(size.seeds));
        }
    }
}

// Boards passengers holding `tickets` (tickets[p - 1] is passenger p's seat): true when the last
// passenger ends in their own seat, read off the tickets as the plain algorithm would.
template <WordSource G>
bool board(std::span<const SeatNumber> tickets, G& g) {
    const auto last = static_cast<std::uint32_t>(tickets.size());
    const SeatNumber last_seat = last_drawer(last, g) == last ? tickets[0] : tickets[last - 1];
    return last_seat == tickets[last - 1];
}

TEST(Boarding, FollowsTheChainOfDisplacedPassengers) {
    // Tickets t1..t4 = 11, 12, 13, 14. Passenger 1 draws position 1 of [11 12 13 14] (seat 12);
    // passenger 2 draws among [11 13 14] position 2 (seat 14); passenger 3 sits in 13;
    // passenger 4 draws among [11] and takes 11: false. Words: 0x40000000 gives 1 of 4,
    // 0xaaaaaaab gives 2 of 3, 0 gives 0 of 1.
    const std::vector<SeatNumber> tickets = {11, 12, 13, 14};
    ScriptedWords displaced({0x40000000, 0xaaaaaaab, 0x00000000});
    EXPECT_FALSE(board(std::span<const SeatNumber>(tickets), displaced));
    EXPECT_EQ(displaced.consumed(), 3u);
    // Passenger 1 draws position 2 (seat 13); passenger 3 draws among [11 14] position 0: true.
    ScriptedWords back_to_first({0x80000000, 0x00000000});
    EXPECT_TRUE(board(std::span<const SeatNumber>(tickets), back_to_first));
    EXPECT_EQ(back_to_first.consumed(), 2u);
    // Rejected words move nobody and end nothing. Of two tickets, passenger 1 rejects
    // 0x40000000 (high half 0) and 0xc0000000 (high half 1), then draws position 1 (seat 12);
    // passenger 2 draws among [11] and takes 11: false.
    const std::vector<SeatNumber> two = {11, 12};
    ScriptedWords rejected({0x40000000, 0xc0000000, 0x80000000, 0x00000000});
    EXPECT_FALSE(board(std::span<const SeatNumber>(two), rejected));
    EXPECT_EQ(rejected.consumed(), 4u);
    // Passenger 1 sits in their own seat: nobody else draws.
    ScriptedWords own_seat({0x00000000});
    EXPECT_TRUE(board(std::span<const SeatNumber>(tickets), own_seat));
    EXPECT_EQ(own_seat.consumed(), 1u);
}

TEST(Boarding, NoPassengersFailsWithNoEntryFoundAfterTheShuffle) {
    CountingWords zeros{ZeroWords{}};
    std::vector<SeatNumber> scratch;
    EXPECT_EQ(failure_of([&] { run_simulation(plane(0, 5), zeros, scratch); }), "no entry found for key");
    EXPECT_EQ(zeros.consumed(), 4u);
    EXPECT_EQ(failure_of([&] { run_simulation(plane(0, 0)); }), NO_ENTRY_FOUND_FOR_KEY);
}

TEST(Boarding, SeatingFailuresComeFirstAndNobodyBoards) {
    std::vector<SeatNumber> scratch;
    CountingWords zeros{ZeroWords{}};
    EXPECT_EQ(failure_of([&] { run_simulation(plane(5, 4), zeros, scratch); }), SEAT_ON_A_PLANE);
    EXPECT_EQ(zeros.consumed(), 3u);
    ScriptedWords no_words({});
    const Planes short_cols{{U'A', U'B'}, 0, 3};
    EXPECT_EQ(failure_of([&] { run_simulation(short_cols, no_words, scratch); }),
              "no column letter for seat 3: cols holds 2 letters");
    EXPECT_EQ(failure_of([] { run_simulation(plane(1, UINT64_MAX)); }).rfind("cannot hold ", 0), 0u);
}

TEST(Boarding, OnePassengerAlwaysSitsInTheirOwnSeat) {
    for (const std::uint64_t seats : {1u, 2u, 10u, 50u}) {
        for (int i = 0; i < 200; ++i) {
            ASSERT_TRUE(run_simulation(plane(1, seats))) << seats << " seats";
        }
    }
}

TEST(Boarding, LastPassengerFindsTheirSeatAboutHalfTheTime) {
    struct Size {
        std::uint64_t passengers;
        std::uint64_t seats;
    };
    constexpr int RUNS = 20000;
    for (const Size size : {Size{2, 2}, Size{3, 3}, Size{100, 100}, Size{2, 50}, Size{10, 60}, Size{10, 1000}}) {
        int true_outcomes = 0;
        const Planes planes = plane(size.passengers, size.seats);
        for (int i = 0; i < RUNS; ++i) {
            true_outcomes += run_simulation(planes) ? 1 : 0;
        }
        const double sigma = std::sqrt(RUNS * 0.25);
        EXPECT_NEAR(true_outcomes, RUNS / 2.0, 5 * sigma)
            << size.passengers << " passengers, " << size.seats << " seats";
    }
}

}  // namespace
}  // namespace tavrin
