// The seeded count: boardings numbered from 0 and cut into blocks of block_size, block i
// drawing all its words from ChaCha12 with the caller's key, stream number i and the block
// counter from 0, never reseeded. A block's boardings run one after another from that one
// stream with exactly the draws of run_simulation, so the count of a block, and of any range,
// depends on nothing but the key, the plane and the block size: not on the threads, the order
// in which blocks are counted, or how a run was split into calls.
#pragma once

#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "chacha.hpp"
#include "config.hpp"
#include "seating.hpp"

namespace tavrin {

// A block's count is a 32-bit number.
inline constexpr std::uint64_t MAX_BLOCK_SIZE = UINT32_MAX;

// Why a count was refused. Writes no report: the caller decides what becomes of it.
class CountError : public std::runtime_error {
public:
    enum class Kind {
        // An argument or a plane that cannot be counted.
        bad_value,
        // The seat lists or the per-block counts do not fit in memory.
        no_memory,
        // The worker threads cannot be set up (the message starts RUNTIME_CREATION_FAILED).
        no_workers,
    };

    CountError(Kind kind, const std::string& message) : std::runtime_error(message), kind_(kind) {}
    [[nodiscard]] Kind kind() const noexcept { return kind_; }

private:
    Kind kind_;
};

// A start_position that is not known: the block is run from its beginning up to `start`.
inline constexpr std::uint64_t UNKNOWN_POSITION = UINT64_MAX;

struct CountRequest {
    ChaChaKey key{};
    std::uint64_t block_size = 1;
    // Boardings [start, stop) are counted.
    std::uint64_t start = 0;
    std::uint64_t stop = 0;
    // The word of its block's stream at which boarding `start` draws first: the stop_position
    // of the count that ended at `start`. A long block is then counted in many calls without
    // running its beginning again in each.
    std::uint64_t start_position = UNKNOWN_POSITION;
    // 0: as many workers as run_simulations would take; otherwise at most this many.
    std::uint64_t threads = 0;
    ChaChaRefillFunction refill = chacha_paths().front().rounds12;
};

struct CountResult {
    // Counted boardings in which the last passenger got their own seat.
    std::uint64_t successes = 0;
    // The count of every block touched, start / block_size .. (stop - 1) / block_size in order.
    std::vector<std::uint32_t> per_block;
    // The word of the last block's stream at which boarding `stop` would draw first.
    std::uint64_t stop_position = 0;
};

// "a plane with 0 passengers has no last passenger", "<P> passengers do not fit in <S> seats",
// "<S> seats need <K> column letters, got <L>" (bad_value), in that order; then "cannot hold
// <S> seats: at most <L> fit" (no_memory) when one seat list does not fit in memory.
void check_countable(const Planes& planes);

// The blocks of a plane of `seats` seats that one worker boards at once with the block function
// `refill`, in its lanes (lanes.hpp): a call fills them when it holds about this many blocks
// per worker. 1 where the worker boards on the scalar path.
std::uint32_t blocks_at_once(std::uint64_t seats, ChaChaRefillFunction refill) noexcept;

// Counts the request's boardings on worker threads, each block on one of them. Every check
// runs before any work; the failures are CountErrors, never a report on standard error.
CountResult count_boardings(const Planes& planes, const CountRequest& request);

}  // namespace tavrin
