// The seeded count: every block is its own ChaCha12 stream, boarded in order; a range is cut
// from those blocks exactly, whatever the threads and the block function; every refusal is a
// CountError with its message and nothing on standard error.
#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "boarding.hpp"
#include "counting.hpp"
#include "failures.hpp"
#include "process_state.hpp"
#include "rng.hpp"

namespace tavrin {
namespace {

using namespace testing_support;

constexpr ChaChaKey KEY = {0x243f6a88, 0x85a308d3, 0x13198a2e, 0x03707344,
                           0xa4093822, 0x299f31d0, 0x082efa98, 0xec4e6c89};

Planes plane(std::uint64_t passengers, std::uint64_t seats, std::uint64_t letters = 6) {
    return Planes{std::vector<char32_t>(std::begin(DEFAULT_COLS), std::begin(DEFAULT_COLS) + letters), passengers,
                  seats};
}

CountRequest request(std::uint64_t block_size, std::uint64_t start, std::uint64_t stop, std::uint64_t threads = 0) {
    CountRequest made;
    made.key = KEY;
    made.block_size = block_size;
    made.start = start;
    made.stop = stop;
    made.threads = threads;
    return made;
}

// The outcome of every boarding of blocks 0 .. blocks - 1, one boarding after another from
// each block's own stream, in boarding number order.
std::vector<bool> outcomes(const Planes& planes, std::uint64_t block_size, std::uint64_t blocks) {
    std::vector<bool> all;
    std::vector<SeatNumber> seats;
    for (std::uint64_t block = 0; block < blocks; ++block) {
        ChaCha12Rng words(KEY, block);
        for (std::uint64_t i = 0; i < block_size; ++i) {
            all.push_back(run_simulation(planes, words, seats));
        }
    }
    return all;
}

TEST(CountBoardings, CutsEveryRangeExactlyFromTheBlocksStreams) {
    const Planes planes = plane(7, 9);
    constexpr std::uint64_t SIZE = 5;
    const std::vector<bool> all = outcomes(planes, SIZE, 4);
    // Whole blocks, a start inside a block, a partial last block, one boarding, inside one block.
    const std::uint64_t ranges[][2] = {{0, 20}, {3, 20}, {0, 17}, {7, 13}, {12, 13}, {6, 9}, {5, 10}};
    for (const auto& [start, stop] : ranges) {
        const CountResult result = count_boardings(planes, request(SIZE, start, stop));
        std::vector<std::uint32_t> expected(static_cast<std::size_t>((stop - 1) / SIZE - start / SIZE + 1));
        std::uint64_t successes = 0;
        for (std::uint64_t g = start; g < stop; ++g) {
            expected[static_cast<std::size_t>(g / SIZE - start / SIZE)] += all[static_cast<std::size_t>(g)] ? 1 : 0;
            successes += all[static_cast<std::size_t>(g)] ? 1 : 0;
        }
        EXPECT_EQ(result.per_block, expected) << start << ".." << stop;
        EXPECT_EQ(result.successes, successes) << start << ".." << stop;
    }
}

TEST(CountBoardings, GoesOnInsideABlockFromTheStopPositionOfTheCountBefore) {
    const Planes planes = plane(7, 9);
    constexpr std::uint64_t SIZE = 20;
    const std::vector<bool> all = outcomes(planes, SIZE, 2);
    // Cuts inside blocks and on their boundaries; the first call starts a block.
    const std::uint64_t cuts[] = {0, 3, 4, 11, 20, 26, 39, 40};
    std::uint64_t position = 0;
    for (std::size_t i = 0; i + 1 < std::size(cuts); ++i) {
        CountRequest piece = request(SIZE, cuts[i], cuts[i + 1]);
        piece.start_position = cuts[i] % SIZE == 0 ? 0 : position;
        const CountResult result = count_boardings(planes, piece);
        std::uint64_t successes = 0;
        for (std::uint64_t g = cuts[i]; g < cuts[i + 1]; ++g) {
            successes += all[static_cast<std::size_t>(g)] ? 1 : 0;
        }
        EXPECT_EQ(result.successes, successes) << cuts[i] << ".." << cuts[i + 1];
        position = result.stop_position;
    }
}

TEST(CountBoardings, GivesTheSameCountsOnAnyThreadsAndBlockFunction) {
    const WorkerThreadsVariable enough("8");
    const Planes planes = plane(10, 12);
    const CountResult reference = count_boardings(planes, request(64, 30, 1000, 1));
    ASSERT_EQ(reference.per_block.size(), 16u);
    for (const ChaChaPath& path : chacha_paths()) {
        for (const std::uint64_t threads : {1u, 2u, 7u}) {
            CountRequest asked = request(64, 30, 1000, threads);
            asked.refill = path.rounds12;
            const CountResult result = count_boardings(planes, asked);
            EXPECT_EQ(result.per_block, reference.per_block) << path.name << " on " << threads << " threads";
            EXPECT_EQ(result.successes, reference.successes) << path.name << " on " << threads << " threads";
        }
    }
}

TEST(CountBoardings, AnEmptyRangeCountsNothingButIsStillChecked) {
    const CountResult result = count_boardings(plane(3, 3), request(10, 25, 25));
    EXPECT_EQ(result.successes, 0u);
    EXPECT_TRUE(result.per_block.empty());
    EXPECT_THROW(count_boardings(plane(0, 3), request(10, 25, 25)), CountError);
}

struct Refusal {
    const char* case_name;
    Planes planes;
    CountRequest asked;
    const char* worker_threads;
    CountError::Kind kind;
    // The whole message, or its start up to a limit that follows the memory left.
    std::string message;
};

void PrintTo(const Refusal& refusal, std::ostream* out) { *out << refusal.case_name; }

class CountRefusal : public testing::TestWithParam<Refusal> {};

TEST_P(CountRefusal, IsACountErrorWithItsMessageAndNoReport) {
    const Refusal& refusal = GetParam();
    const WorkerThreadsVariable variable(refusal.worker_threads);
    std::string message = "(no failure)";
    CountError::Kind kind = CountError::Kind::bad_value;
    const std::string written = stderr_of([&] {
        try {
            count_boardings(refusal.planes, refusal.asked);
        } catch (const CountError& error) {
            message = error.what();
            kind = error.kind();
        }
    });
    if (refusal.kind == CountError::Kind::no_memory) {
        EXPECT_EQ(message.rfind(refusal.message, 0), 0u) << message;
        EXPECT_EQ(message.substr(message.size() - 4), " fit") << message;
    } else {
        EXPECT_EQ(message, refusal.message);
    }
    EXPECT_EQ(kind, refusal.kind);
    EXPECT_EQ(written, "");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CountRefusal,
    testing::Values(
        Refusal{"NoPassengers", plane(0, 0, 0), request(1, 0, 1), nullptr, CountError::Kind::bad_value,
                "a plane with 0 passengers has no last passenger"},
        Refusal{"MorePassengersThanSeats", plane(3, 2), request(1, 0, 1), nullptr, CountError::Kind::bad_value,
                "3 passengers do not fit in 2 seats"},
        Refusal{"TooFewLetters", plane(4, 4, 3), request(1, 0, 1), nullptr, CountError::Kind::bad_value,
                "4 seats need 4 column letters, got 3"},
        Refusal{"TooFewLettersForSixColumns", plane(1, 700, 5), request(1, 0, 1), nullptr,
                CountError::Kind::bad_value, "700 seats need 6 column letters, got 5"},
        Refusal{"BlockSizeZero", plane(1, 1), request(0, 0, 1), nullptr, CountError::Kind::bad_value,
                "block_size must be from 1 to 4294967295, not 0"},
        Refusal{"BlockSizeAbove32Bits", plane(1, 1), request(MAX_BLOCK_SIZE + 1, 0, 1), nullptr,
                CountError::Kind::bad_value, "block_size must be from 1 to 4294967295, not 4294967296"},
        Refusal{"StartAfterStop", plane(1, 1), request(1, 5, 4), nullptr, CountError::Kind::bad_value,
                "start 5 is after stop 4"},
        Refusal{"SeatListBeyond32Bits", plane(1, MAX_SEATS + 1), request(1, 0, 1), nullptr,
                CountError::Kind::no_memory, "cannot hold 4294967296 seats: at most "},
        Refusal{"BlockCountsBeyondMemory", plane(1, 1), request(1, 0, UINT64_MAX), nullptr,
                CountError::Kind::no_memory, "cannot hold 18446744073709551615 block counts: at most "},
        Refusal{"BadWorkerThreads", plane(1, 1), request(1, 0, 1, 2), "many", CountError::Kind::no_workers,
                std::string(RUNTIME_CREATION_FAILED) + ": " + WORKER_THREADS_VARIABLE + "=\"many\" " +
                    std::string(BAD_WORKER_THREADS)}),
    [](const testing::TestParamInfo<Refusal>& param) { return std::string(param.param.case_name); });

}  // namespace
}  // namespace tavrin
