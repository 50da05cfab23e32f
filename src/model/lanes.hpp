// Many boardings at once, one per 32-bit lane of two vector registers: 32 lanes with AVX-512,
// 16 with AVX2, 8 with SSE2, each boarding drawing from a ChaCha12 stream of its own.
//
// Every turn of a boarding's draws (the seat shuffle's words, then the chain of displaced
// passengers, see boarding.hpp) takes exactly one word, kept or rejected, so boardings on
// different streams move in lockstep: in turn t, lane i reads word t of its own block. A
// multi-block ChaCha computes its state in just that layout, one register per word index and
// one lane per block, so the lanes read the block function's registers as they stand, without
// the transpose that puts a block's words one after another. A lane whose boarding ends
// starts the next by mask; a lane whose run of boardings ends is handed another at the next
// refill (the rest of its block's words are dropped: on a counted block they lie beyond the
// run). So the words each boarding takes are exactly those of the scalar path on the same
// stream, and so are the counts.
#pragma once

#include <cstdint>
#include <span>

#include "chacha.hpp"

namespace tavrin {

inline constexpr std::uint32_t MAX_LANES = 32;
// A lane reads the sixteen words of one block, one per turn, between refills.
inline constexpr std::uint32_t TURNS_PER_REFILL = CHACHA_BLOCK_WORDS;
// Bounds below 2^24 are exact in a float, which the AVX2 and SSE2 lanes use in place of a
// leading-zero count: larger planes board on the scalar path.
inline constexpr std::uint64_t MAX_LANE_SEATS = (std::uint64_t{1} << 24) - 1;

// Where each lane's next block comes from: block counter and stream number, split in words.
struct alignas(64) LaneBlocks {
    std::uint32_t counter_low[MAX_LANES];
    std::uint32_t counter_high[MAX_LANES];
    std::uint32_t stream_low[MAX_LANES];
    std::uint32_t stream_high[MAX_LANES];
};

// Word w of lane i's block is rows[w * lanes + i].
struct alignas(64) LaneRows {
    std::uint32_t words[CHACHA_BLOCK_WORDS * MAX_LANES];
};

// One boarding per lane, between calls of the turn loop.
struct alignas(64) LaneState {
    // The bound of the lane's next draw: the shuffle's entries still to place, or the free
    // seats the next displaced passenger draws from.
    std::uint32_t bound[MAX_LANES];
    // All ones while the lane's boarding is in its shuffle, zero once it boards.
    std::uint32_t shuffling[MAX_LANES];
    // Boardings of the lane's run not yet ended, the current one included.
    std::uint32_t left[MAX_LANES];
    // Boardings of the run in which the last passenger got their own seat.
    std::uint32_t successes[MAX_LANES];
    // The first turn of this refill in which the lane draws.
    std::uint32_t from[MAX_LANES];
};

// What a boarding starts from and when it succeeds, for a plane of 1 <= P <= S <= MAX_LANE_SEATS.
struct LanePlane {
    // S with a shuffle to run (S >= 2), otherwise P.
    std::uint32_t start_bound;
    // All ones when a boarding starts with its shuffle.
    std::uint32_t start_shuffling;
    std::uint32_t passengers;
    // The bound at which the last passenger is the one left without their seat: 1, or 0 (never)
    // for a plane of one passenger.
    std::uint32_t failing_bound;
};

LanePlane lane_plane(std::uint32_t passengers, std::uint32_t seats) noexcept;

// One instruction set's lanes.
struct LaneEngine {
    const char* name;
    std::uint32_t lanes;
    // Lane i gets block at.counter[i] of stream at.stream[i]: word w at rows.words[w * lanes + i].
    void (*blocks)(const ChaChaKey& key, const LaneBlocks& at, LaneRows& rows, unsigned rounds);
    // Runs the turns from `turn` on over the rows of one refill; stops after the turn in which
    // some lane's run ends (its `left` reaches 0) and returns the next turn, else returns
    // TURNS_PER_REFILL.
    std::uint32_t (*turns)(LaneState& state, const LaneRows& rows, std::uint32_t turn, const LanePlane& plane);
};

// The lane engines that go with a block function (chacha_paths()), widest first: none for the
// scalar one, AVX-512's, AVX2's and SSE2's for the "avx512" one, and so on down.
std::span<const LaneEngine> lane_engines(ChaChaRefillFunction refill) noexcept;

// Every lane engine this processor runs, widest first.
std::span<const LaneEngine> lane_engines() noexcept;

// A run of boardings for one lane: `boardings` (at least 1) from word `position` of `stream`.
struct LaneRun {
    std::uint64_t id = 0;
    std::uint64_t stream = 0;
    std::uint64_t position = 0;
    std::uint32_t boardings = 0;
};

// Boards runs in the engine's lanes until the feed has none left.
//
//   feed.next(LaneRun&) -> bool     hands out the next run, false when there is none;
//   feed.done(const LaneRun&, std::uint32_t successes, std::uint64_t stop_position)
//                                   receives a run's count and the word after its last;
//   feed.shared_blocks(std::uint32_t count, ChaChaKey& key) -> std::uint64_t
//                                   optional, for lanes that share one stream: the first of
//                                   `count` consecutive fresh blocks of stream 0, and their
//                                   key; each lane takes one of them per refill, and the runs'
//                                   streams, positions and stop positions mean nothing.
//
// Without it, every lane reads its run's own stream from the run's position on, with `key`.
template <typename Feed>
void board_in_lanes(const LaneEngine& engine, const ChaChaKey& key, const LanePlane& plane, Feed& feed) {
    const std::uint32_t lanes = engine.lanes;
    LaneState state{};
    LaneBlocks at{};
    LaneRows rows;
    LaneRun runs[MAX_LANES];
    std::uint64_t counter[MAX_LANES] = {};
    bool busy[MAX_LANES] = {};
    bool exhausted = false;
    ChaChaKey block_key = key;
    for (;;) {
        bool any_busy = false;
        for (std::uint32_t i = 0; i < lanes; ++i) {
            state.from[i] = 0;
            if (!busy[i]) {
                if (!exhausted && feed.next(runs[i])) {
                    busy[i] = true;
                    counter[i] = runs[i].position / TURNS_PER_REFILL;
                    state.from[i] = static_cast<std::uint32_t>(runs[i].position % TURNS_PER_REFILL);
                    state.bound[i] = plane.start_bound;
                    state.shuffling[i] = plane.start_shuffling;
                    state.left[i] = runs[i].boardings;
                    state.successes[i] = 0;
                } else {
                    exhausted = true;
                }
            }
            any_busy = any_busy || busy[i];
        }
        if (!any_busy) {
            return;
        }
        if constexpr (requires { feed.shared_blocks(lanes, block_key); }) {
            const std::uint64_t first = feed.shared_blocks(lanes, block_key);
            for (std::uint32_t i = 0; i < lanes; ++i) {
                counter[i] = first + i;
                runs[i].stream = 0;
            }
        }
        for (std::uint32_t i = 0; i < lanes; ++i) {
            at.counter_low[i] = static_cast<std::uint32_t>(counter[i]);
            at.counter_high[i] = static_cast<std::uint32_t>(counter[i] >> 32);
            at.stream_low[i] = static_cast<std::uint32_t>(runs[i].stream);
            at.stream_high[i] = static_cast<std::uint32_t>(runs[i].stream >> 32);
        }
        engine.blocks(block_key, at, rows, 12);
        std::uint32_t turn = 0;
        while (turn < TURNS_PER_REFILL) {
            turn = engine.turns(state, rows, turn, plane);
            for (std::uint32_t i = 0; i < lanes; ++i) {
                if (busy[i] && state.left[i] == 0) {
                    busy[i] = false;
                    feed.done(runs[i], state.successes[i], counter[i] * TURNS_PER_REFILL + turn);
                }
            }
        }
        for (std::uint32_t i = 0; i < lanes; ++i) {
            ++counter[i];
        }
    }
}

}  // namespace tavrin
