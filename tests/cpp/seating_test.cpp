// Seat assignment: the text of seat labels, the content of a SeatMap, the order of the
// failures around the shuffle, and clean failures for seat counts that cannot be held.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numeric>
#include <set>
#include <string>
#include <vector>

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
using testing_support::ZeroWords;

const std::vector<char32_t> DEFAULT_COLUMNS(std::begin(DEFAULT_COLS), std::end(DEFAULT_COLS));

Planes plane(std::uint64_t passengers, std::uint64_t seats, std::vector<char32_t> cols = DEFAULT_COLUMNS) {
    return Planes{std::move(cols), passengers, seats};
}

std::string label(const std::vector<char32_t>& cols, std::uint64_t number) {
    std::string out;
    append_seat_label(out, cols, number);
    return out;
}


TEST(SeatLabel, IsTheDecimalNumberFollowedByTheColumnOfNumberMinusOneModuloSix) {
    const std::pair<std::uint64_t, const char*> cases[] = {
        {1, "1A"}, {2, "2B"}, {3, "3C"}, {4, "4D"}, {5, "5E"}, {6, "6F"}, {7, "7A"}, {8, "8B"},
        {10, "10D"}, {12, "12F"}, {100, "100D"}, {UINT64_MAX, "18446744073709551615C"},
    };
    for (const auto& [number, text] : cases) {
        EXPECT_EQ(label(DEFAULT_COLUMNS, number), text);
    }
}

TEST(SeatLabel, WritesTheColumnLetterAsUtf8) {
    const std::vector<char32_t> cols = {U'\u00c4', U'\u03a9', U'\u6a5f', U'\U0001d538', U'E', U'F'};
    EXPECT_EQ(label(cols, 1), "1\xc3\x84");
    EXPECT_EQ(label(cols, 2), "2\xce\xa9");
    EXPECT_EQ(label(cols, 9), "9\xe6\xa9\x9f");
    EXPECT_EQ(label(cols, 22), "22\xf0\x9d\x94\xb8");
}

TEST(SeatLabel, NeverUsesASeventhOrEighthColumnLetter) {
    const std::vector<char32_t> cols = {U'A', U'B', U'C', U'D', U'E', U'F', U'G', U'H'};
    for (std::uint64_t number = 1; number <= 1000; ++number) {
        const std::string text = label(cols, number);
        EXPECT_EQ(text.back(), "ABCDEF"[(number - 1) % 6]) << text;
    }
}

TEST(SeatLabel, LabelsOfSixEqualLettersDifferByTheirNumbers) {
    const std::vector<char32_t> cols(6, U'Z');
    std::set<std::string> labels;
    for (std::uint64_t number = 1; number <= 100; ++number) {
        labels.insert(label(cols, number));
    }
    EXPECT_EQ(labels.size(), 100u);
    EXPECT_EQ(label(cols, 7), "7Z");
}

TEST(SeatLabel, FailsForASeatWhoseColumnHasNoLetter) {
    const std::vector<char32_t> cols = {U'A', U'B', U'C'};
    EXPECT_EQ(label(cols, 9), "9C");
    EXPECT_EQ(failure_of([&] { label(cols, 10); }), "no column letter for seat 10: cols holds 3 letters");
}

TEST(GenerateSeating, GivesEveryPassengerADistinctSeatOfTheCabin) {
    struct Case {
        std::uint64_t passengers;
        std::uint64_t seats;
    };
    for (const Case c : {Case{100, 100}, Case{3, 10}, Case{1, 1}, Case{0, 5}, Case{0, 0}, Case{64, 1000}}) {
        SCOPED_TRACE(::testing::Message() << c.passengers << " passengers, " << c.seats << " seats");
        const SeatMap map = generate_seating(plane(c.passengers, c.seats));
        ASSERT_EQ(map.seat_of.size(), c.passengers);
        const std::set<SeatNumber> distinct(map.seat_of.begin(), map.seat_of.end());
        EXPECT_EQ(distinct.size(), c.passengers);
        for (const SeatNumber seat : map.seat_of) {
            EXPECT_GE(seat, 1u);
            EXPECT_LE(seat, c.seats);
        }
    }
}

TEST(GenerateSeating, ShufflesAllSeatsWhateverTheNumberOfPassengers) {
    for (const std::uint64_t passengers : {0u, 1u, 4u, 9u, 10u}) {
        SCOPED_TRACE(::testing::Message() << passengers << " passengers");
        CountingWords zeros{ZeroWords{}};
        const SeatMap map = generate_seating(plane(passengers, 10), zeros);
        EXPECT_EQ(zeros.consumed(), 9u);
        // Zero words swap every position with the first: the list 1..10 becomes 2, 3, ..., 10, 1.
        std::vector<SeatNumber> expected(10);
        std::iota(expected.begin(), expected.end(), SeatNumber{2});
        expected.back() = 1;
        expected.resize(static_cast<std::size_t>(passengers));
        EXPECT_EQ(map.seat_of, expected);
    }
}

TEST(GenerateSeating, ChecksTheColumnsBeforeAnyDraw) {
    struct Case {
        std::uint64_t passengers;
        std::uint64_t seats;
        std::vector<char32_t> cols;
        const char* message;
    };
    const Case cases[] = {
        {4, 4, {U'A', U'B', U'C'}, "no column letter for seat 4: cols holds 3 letters"},
        {4, 1000, {U'A', U'B', U'C'}, "no column letter for seat 4: cols holds 3 letters"},
        {1, 1, {}, "no column letter for seat 1: cols holds 0 letters"},
        {2, 2, {U'A'}, "no column letter for seat 2: cols holds 1 letter"},
        // Also before the passenger check and before the seat count is considered.
        {9, 4, {U'A', U'B', U'C'}, "no column letter for seat 4: cols holds 3 letters"},
        {0, UINT64_MAX, {U'A', U'B', U'C', U'D', U'E'}, "no column letter for seat 6: cols holds 5 letters"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        ScriptedWords no_words({});
        EXPECT_EQ(failure_of([&] { generate_seating(plane(c.passengers, c.seats, c.cols), no_words); }), c.message);
        EXPECT_EQ(no_words.consumed(), 0u);
    }
}

TEST(GenerateSeating, ShortColumnListsLabelSmallCabins) {
    const std::vector<char32_t> abc = {U'A', U'B', U'C'};
    EXPECT_EQ(generate_seating(plane(3, 3, abc)).seat_of.size(), 3u);
    EXPECT_TRUE(generate_seating(plane(0, 0, {})).seat_of.empty());
}

TEST(GenerateSeating, ReportsMorePassengersThanSeatsAfterTheShuffle) {
    CountingWords zeros{ZeroWords{}};
    EXPECT_EQ(failure_of([&] { generate_seating(plane(4, 3), zeros); }), SEAT_ON_A_PLANE);
    EXPECT_EQ(zeros.consumed(), 2u);
    EXPECT_EQ(failure_of([&] { generate_seating(plane(1, 0, {})); }), "Seat on a plane");
    EXPECT_EQ(failure_of([&] { generate_seating(plane(UINT64_MAX, 2)); }), "Seat on a plane");
}

TEST(GenerateSeating, HugeSeatCountsFailCleanlyBeforeAnyDraw) {
    std::vector<std::uint64_t> counts = {UINT64_MAX, std::uint64_t{1} << 40, MAX_SEATS + 1};
    if (sizeof(std::size_t) < 8) {
        counts.push_back(MAX_SEATS);  // more than a 32-bit address space holds
    }
    for (const std::uint64_t seats : counts) {
        SCOPED_TRACE(::testing::Message() << seats << " seats");
        ScriptedWords no_words({});
        // The limit check, not a failed allocation, must be what stops it.
        const std::string message = failure_of([&] { generate_seating(plane(1, seats), no_words); });
        EXPECT_EQ(message.rfind("cannot hold " + std::to_string(seats) + " seats: at most ", 0), 0u) << message;
        EXPECT_EQ(no_words.consumed(), 0u);
    }
}

TEST(GenerateSeating, GivesTheFirstAndTheLastPassengerEverySeatEquallyOftenAndSeatingsDiffer) {
    constexpr std::size_t SEATS = 10;
    constexpr int CALLS = 50000;
    constexpr int KEPT = 3000;
    std::vector<int> firsts(SEATS + 1);
    std::vector<int> lasts(SEATS + 1);
    std::set<std::vector<SeatNumber>> distinct;
    const Planes planes = plane(SEATS, SEATS);
    for (int i = 0; i < CALLS; ++i) {
        const SeatMap map = generate_seating(planes);
        ++firsts[map.seat_of.front()];
        ++lasts[map.seat_of.back()];
        if (i < KEPT) {
            distinct.insert(map.seat_of);
        }
    }
    const double expected = static_cast<double>(CALLS) / SEATS;
    const double sigma = std::sqrt(CALLS * (1.0 / SEATS) * (1.0 - 1.0 / SEATS));
    for (std::size_t seat = 1; seat <= SEATS; ++seat) {
        EXPECT_NEAR(firsts[seat], expected, 5 * sigma) << "first passenger, seat " << seat;
        EXPECT_NEAR(lasts[seat], expected, 5 * sigma) << "last passenger, seat " << seat;
    }
    // 3000 draws among 10! orders repeat about once by chance.
    EXPECT_GE(distinct.size(), static_cast<std::size_t>(KEPT - 10));
}

}  // namespace
}  // namespace tavrin
