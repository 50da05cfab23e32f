// The record of one boarding: its tickets are generate_seating's, its chain is the plain
// algorithm's, drawn from the same words as run_simulation; and boarding i of a seeded run is
// the one count_boardings counts as the range [i, i + 1), found from its block's start or from
// a position.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "boarding.hpp"
#include "counting.hpp"
#include "recording.hpp"
#include "rng.hpp"
#include "seating.hpp"
#include "word_sources.hpp"

namespace tavrin {
namespace {

using testing_support::CountingWords;
using testing_support::seeded_chacha12;

constexpr ChaChaKey KEY = {0x9e3779b9, 0x7f4a7c15, 0xf39cc060, 0x5cedc834,
                           0x2b7e1516, 0x28aed2a6, 0xabf71588, 0x09cf4f3c};

Planes plane(std::uint64_t passengers, std::uint64_t seats) {
    return Planes{std::vector<char32_t>(std::begin(DEFAULT_COLS), std::end(DEFAULT_COLS)), passengers, seats};
}

struct Chain {
    std::vector<std::uint32_t> drawers;
    std::vector<std::uint32_t> places;
};

// The plain algorithm over tickets already drawn: a free-seat list in passenger order, scanned
// and shifted, and every passenger who draws written down with the place drawn.
template <WordSource G>
Chain literal_chain(const std::vector<SeatNumber>& tickets, G& g) {
    Chain chain;
    std::vector<SeatNumber> free_seats = tickets;
    for (std::uint32_t p = 1; p <= tickets.size(); ++p) {
        auto own = std::find(free_seats.begin(), free_seats.end(), tickets[p - 1]);
        if (p == 1 || own == free_seats.end()) {
            const std::uint32_t place = uniform_below(g, static_cast<std::uint32_t>(free_seats.size()));
            chain.drawers.push_back(p);
            chain.places.push_back(place);
            own = free_seats.begin() + static_cast<std::ptrdiff_t>(place);
        }
        free_seats.erase(own);
    }
    return chain;
}

TEST(RecordBoarding, HoldsTheSeatingAndTheChainOfThePlainAlgorithmFromTheCountsWords) {
    const std::uint64_t sizes[][2] = {{1, 1}, {1, 7}, {2, 2}, {3, 3}, {5, 9}, {10, 10}, {100, 100}, {40, 300}};
    std::vector<SeatNumber> scratch;
    for (const auto& [passengers, seats] : sizes) {
        const Planes planes = plane(passengers, seats);
        int chains_longer_than_one = 0;
        for (std::uint32_t seed = 0; seed < 300; ++seed) {
            SCOPED_TRACE(::testing::Message() << passengers << " of " << seats << ", seed " << seed);
            CountingWords recorded_words(seeded_chacha12(seed));
            BoardingRecord record;
            record_boarding(planes, recorded_words, record);

            CountingWords counted_words(seeded_chacha12(seed));
            ASSERT_EQ(record.outcome, run_simulation(planes, counted_words, scratch));
            ASSERT_EQ(recorded_words.consumed(), counted_words.consumed());

            CountingWords plain_words(seeded_chacha12(seed));
            ASSERT_EQ(record.tickets, generate_seating(planes, plain_words).seat_of);
            const Chain chain = literal_chain(record.tickets, plain_words);
            ASSERT_EQ(record.drawers, chain.drawers);
            ASSERT_EQ(record.places, chain.places);
            ASSERT_EQ(plain_words.consumed(), counted_words.consumed());
            chains_longer_than_one += record.drawers.size() > 1 ? 1 : 0;
        }
        if (passengers > 2) {
            EXPECT_GT(chains_longer_than_one, 0);
        }
    }
}

TEST(RecordSeededBoarding, IsTheBoardingTheCountCountsFromItsBlockStartOrItsPosition) {
    const Planes planes = plane(6, 8);
    for (const std::uint64_t size : {1u, 5u, 64u}) {
        for (const std::uint64_t index : {0u, 1u, 4u, 5u, 6u, 63u, 64u, 130u}) {
            SCOPED_TRACE(::testing::Message() << "block size " << size << ", boarding " << index);
            CountRequest range;
            range.key = KEY;
            range.block_size = size;
            range.start = index;
            range.stop = index + 1;
            const CountResult counted = count_boardings(planes, range);
            BoardingRequest asked;
            asked.key = KEY;
            asked.block_size = size;
            asked.index = index;
            const BoardingRecord record = record_seeded_boarding(planes, asked);
            EXPECT_EQ(record.outcome, counted.successes == 1);

            // Its start is where the count of the block's boardings before it stops, its stop
            // where the count of the boarding itself stops; given, the start finds it again.
            range.start = index / size * size;
            range.stop = index;
            range.start_position = 0;
            EXPECT_EQ(record.start_position, index % size == 0 ? 0 : count_boardings(planes, range).stop_position);
            range.start = index;
            range.stop = index + 1;
            range.start_position = record.start_position;
            EXPECT_EQ(record.stop_position, count_boardings(planes, range).stop_position);
            asked.start_position = record.start_position;
            const BoardingRecord again = record_seeded_boarding(planes, asked);
            EXPECT_EQ(again.tickets, record.tickets);
            EXPECT_EQ(again.places, record.places);
        }
    }
}

TEST(RecordSeededBoarding, RefusesWhatTheCountRefusesAndTheIndexNoRangeCanHold) {
    const auto refusal = [](const Planes& planes, std::uint64_t size, std::uint64_t index, std::uint64_t position) {
        BoardingRequest asked;
        asked.block_size = size;
        asked.index = index;
        asked.start_position = position;
        try {
            record_seeded_boarding(planes, asked);
        } catch (const CountError& error) {
            return std::string(error.what());
        }
        return std::string("(no failure)");
    };
    EXPECT_EQ(refusal(plane(0, 3), 4, 0, UNKNOWN_POSITION), "a plane with 0 passengers has no last passenger");
    EXPECT_EQ(refusal(plane(4, 3), 4, 0, UNKNOWN_POSITION), "4 passengers do not fit in 3 seats");
    EXPECT_EQ(refusal(plane(3, 3), 0, 0, UNKNOWN_POSITION), "block_size must be from 1 to 4294967295, not 0");
    EXPECT_EQ(refusal(plane(3, 3), 4, UINT64_MAX, UNKNOWN_POSITION),
              "index must be below 2**64 - 1, not 18446744073709551615");
    EXPECT_EQ(refusal(plane(3, 3), 4, 8, 5), "position must be 0 where a block begins, not 5");
    // The last boarding a range can hold, at the end of a block's stream of many blocks.
    EXPECT_EQ(refusal(plane(3, 3), 4, UINT64_MAX - 1, 12), "(no failure)");
}

}  // namespace
}  // namespace tavrin
