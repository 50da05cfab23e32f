// The lanes against the scalar code: every engine's blocks against the portable block function,
// and every lane's boardings against the scalar boarding on the same stream, with runs that
// start inside a block, end at odd places and follow one another in a lane.
#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <vector>

#include "boarding.hpp"
#include "lanes.hpp"
#include "rng.hpp"

namespace tavrin {
namespace {

constexpr ChaChaKey KEY = {0x9e3779b9, 0x7f4a7c15, 0xf39cc060, 0x5cedc834,
                           0x2f1d5d2a, 0x0b5d1b2e, 0xc3a5c85c, 0x97cb3127};

TEST(LaneBlocks, EveryLaneHoldsItsOwnBlockOfThePortableFunction) {
    for (const LaneEngine& engine : lane_engines()) {
        // Counters across the low word's wrap and the counter's wrap at 2^64, streams above 2^32.
        LaneBlocks at{};
        std::uint64_t counters[MAX_LANES];
        std::uint64_t streams[MAX_LANES];
        for (std::uint32_t i = 0; i < engine.lanes; ++i) {
            counters[i] = i % 3 == 0 ? 0xFFFFFFFFu - i : i % 3 == 1 ? UINT64_MAX - i : 77 * i;
            streams[i] = (std::uint64_t{i} << 33) + 5 * i;
            at.counter_low[i] = static_cast<std::uint32_t>(counters[i]);
            at.counter_high[i] = static_cast<std::uint32_t>(counters[i] >> 32);
            at.stream_low[i] = static_cast<std::uint32_t>(streams[i]);
            at.stream_high[i] = static_cast<std::uint32_t>(streams[i] >> 32);
        }
        for (const unsigned rounds : {12u, 20u}) {
            LaneRows rows{};
            engine.blocks(KEY, at, rows, rounds);
            for (std::uint32_t i = 0; i < engine.lanes; ++i) {
                ChaChaRefill alone{};
                if (rounds == 12) {
                    chacha_refill_scalar<12>(KEY, counters[i], streams[i], alone);
                } else {
                    chacha_refill_scalar<20>(KEY, counters[i], streams[i], alone);
                }
                for (std::uint32_t w = 0; w < CHACHA_BLOCK_WORDS; ++w) {
                    ASSERT_EQ(rows.words[w * engine.lanes + i], alone[w])
                        << engine.name << ", " << rounds << " rounds, lane " << i << ", word " << w;
                }
            }
        }
    }
}

struct Outcome {
    std::uint32_t successes = 0;
    std::uint64_t stop_position = 0;
    bool done = false;
};

// Runs handed out in order, as the seeded count hands out blocks.
struct Runs {
    std::vector<LaneRun> runs;
    std::vector<Outcome> outcomes;
    std::size_t handed = 0;
    bool next(LaneRun& run) {
        if (handed == runs.size()) {
            return false;
        }
        run = runs[handed++];
        return true;
    }
    void done(const LaneRun& run, std::uint32_t successes, std::uint64_t stop_position) {
        Outcome& outcome = outcomes[static_cast<std::size_t>(run.id)];
        EXPECT_FALSE(outcome.done) << "run " << run.id << " ended twice";
        outcome = {successes, stop_position, true};
    }
};

TEST(Lanes, EveryRunCountsAndStopsAsTheScalarBoardingOnItsStream) {
    // Plenty of runs of different lengths and starts, more than the widest engine's lanes, so
    // that lanes finish at different turns and take runs again; planes with and without a
    // shuffle, of one passenger, and a shuffle much longer than the boarding.
    const std::uint32_t planes[][2] = {{7, 9}, {1, 1}, {1, 5}, {2, 2}, {100, 100}, {3, 40}};
    for (const auto& [passengers, seats] : planes) {
        const Planes plane{std::vector<char32_t>(std::begin(DEFAULT_COLS), std::end(DEFAULT_COLS)), passengers, seats};
        Runs feed;
        std::vector<Outcome> expected;
        std::vector<SeatNumber> list;
        for (std::uint64_t id = 0; id < 41; ++id) {
            // Starting positions inside and on the edge of a block.
            const std::uint64_t position = id % 4 == 0 ? 0 : (id * 37) % 300;
            const auto boardings = static_cast<std::uint32_t>(1 + (id * 7) % 23);
            feed.runs.push_back({id, 1000 + id, position, boardings});
            ChaCha12Rng words(KEY, 1000 + id);
            words.seek(position);
            Outcome outcome;
            for (std::uint32_t b = 0; b < boardings; ++b) {
                outcome.successes += run_simulation(plane, words, list) ? 1 : 0;
            }
            outcome.stop_position = words.position();
            outcome.done = true;
            expected.push_back(outcome);
        }
        for (const LaneEngine& engine : lane_engines()) {
            feed.handed = 0;
            feed.outcomes.assign(feed.runs.size(), Outcome{});
            board_in_lanes(engine, KEY, lane_plane(passengers, seats), feed);
            for (std::size_t id = 0; id < expected.size(); ++id) {
                EXPECT_TRUE(feed.outcomes[id].done) << engine.name << " run " << id;
                EXPECT_EQ(feed.outcomes[id].successes, expected[id].successes)
                    << engine.name << " " << passengers << "/" << seats << " run " << id;
                EXPECT_EQ(feed.outcomes[id].stop_position, expected[id].stop_position)
                    << engine.name << " " << passengers << "/" << seats << " run " << id;
            }
        }
    }
}

// Block `first` of stream 0, then first + stride, first + 2 * stride...: the words of one lane
// whose lanes share a stream.
struct StridedWords : WordSourceBase {
    std::uint64_t block;
    std::uint64_t stride;
    ChaChaRefill words{};
    std::uint32_t next = CHACHA_BLOCK_WORDS;
    std::uint64_t blocks_read = 0;
    result_type operator()() {
        if (next == CHACHA_BLOCK_WORDS) {
            chacha_refill_scalar<12>(KEY, block, 0, words);
            block += stride;
            next = 0;
            ++blocks_read;
        }
        return words[next++];
    }
};

// Runs dealt from one shared stream, as the batch deals them: refill r gives lane i block
// r * lanes + i, so a run's lane and first refill follow from when it was handed out and from
// the block of its last word.
struct SharedRuns {
    std::uint32_t lanes = 0;
    std::uint64_t refills = 0;
    std::uint64_t handed = 0;
    std::vector<std::uint64_t> first_refill = std::vector<std::uint64_t>(200);
    std::vector<std::uint64_t> stop_position = std::vector<std::uint64_t>(200);
    std::vector<std::uint32_t> successes = std::vector<std::uint32_t>(200);
    bool next(LaneRun& run) {
        if (handed == first_refill.size()) {
            return false;
        }
        run.id = handed;
        run.boardings = static_cast<std::uint32_t>(1 + (handed * 5) % 7);
        first_refill[static_cast<std::size_t>(handed++)] = refills;
        return true;
    }
    void done(const LaneRun& run, std::uint32_t counted, std::uint64_t stop) {
        successes[static_cast<std::size_t>(run.id)] = counted;
        stop_position[static_cast<std::size_t>(run.id)] = stop;
    }
    std::uint64_t shared_blocks(std::uint32_t count, ChaChaKey& key) {
        EXPECT_EQ(count, lanes);
        key = KEY;
        return refills++ * lanes;
    }
};

TEST(Lanes, RunsOnASharedStreamCountAsTheScalarBoardingOnTheirLanesBlocks) {
    const Planes plane{std::vector<char32_t>(std::begin(DEFAULT_COLS), std::end(DEFAULT_COLS)), 10, 12};
    std::vector<SeatNumber> list;
    for (const LaneEngine& engine : lane_engines()) {
        SharedRuns feed{};
        feed.lanes = engine.lanes;
        board_in_lanes(engine, ChaChaKey{}, lane_plane(10, 12), feed);
        ASSERT_EQ(feed.handed, 200u);
        // No block is read by two runs.
        std::set<std::uint64_t> read;
        for (std::size_t id = 0; id < 200; ++id) {
            const std::uint64_t last_block = (feed.stop_position[id] - 1) / CHACHA_BLOCK_WORDS;
            const std::uint64_t lane = last_block % engine.lanes;
            StridedWords words{};
            words.block = feed.first_refill[id] * engine.lanes + lane;
            words.stride = engine.lanes;
            std::uint32_t successes = 0;
            for (std::uint32_t b = 0; b < 1 + (id * 5) % 7; ++b) {
                successes += run_simulation(plane, words, list) ? 1 : 0;
            }
            EXPECT_EQ(feed.successes[id], successes) << engine.name << " run " << id;
            for (std::uint64_t block = feed.first_refill[id] * engine.lanes + lane; block <= last_block;
                 block += engine.lanes) {
                EXPECT_TRUE(read.insert(block).second) << engine.name << " run " << id << " block " << block;
            }
            // The run's last word is where the scalar boarding's was.
            EXPECT_EQ(words.block - engine.lanes, last_block) << engine.name << " run " << id;
            EXPECT_EQ((feed.stop_position[id] - 1) % CHACHA_BLOCK_WORDS, words.next - 1u) << engine.name << " run " << id;
        }
    }
}

}  // namespace
}  // namespace tavrin
