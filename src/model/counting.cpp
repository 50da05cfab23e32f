// The seeded count on worker threads. Everything that can fail is settled before a boarding
// runs: the plane, the arguments, the thread budget, the memory guard and the per-block counts
// on the calling thread, and each worker's seat list, made with room for the whole cabin. A
// worker then only claims block numbers from a shared counter and boards over a list that never
// grows, so no boarding can reach a fatal error and its report.
#include "counting.hpp"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <exception>
#include <new>

#include "batch.hpp"
#include "boarding.hpp"
#include "lanes.hpp"
#include "memory.hpp"
#include "pool.hpp"
#include "rng.hpp"

namespace tavrin {

namespace {

constexpr const char* NO_LAST_PASSENGER = "a plane with 0 passengers has no last passenger";

std::string decimal(std::uint64_t value) {
    char digits[20];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    return std::string(digits, end);
}

[[noreturn]] void refuse(std::string message) { throw CountError(CountError::Kind::bad_value, message); }

[[noreturn]] void out_of_memory(std::string message) { throw CountError(CountError::Kind::no_memory, message); }

void check_request(const CountRequest& request) {
    if (request.block_size == 0 || request.block_size > MAX_BLOCK_SIZE) {
        refuse("block_size must be from 1 to " + decimal(MAX_BLOCK_SIZE) + ", not " + decimal(request.block_size));
    }
    if (request.start > request.stop) {
        refuse("start " + decimal(request.start) + " is after stop " + decimal(request.stop));
    }
}

// The per-block counts of the request, all zero, refused up front when they cannot be held.
std::vector<std::uint32_t> block_counts(std::uint64_t blocks) {
    const std::uint64_t bytes = saturating_bytes(blocks, sizeof(std::uint32_t));
    const std::uint64_t limit = std::min<std::uint64_t>(std::vector<std::uint32_t>().max_size(),
                                                        memory_budget_for(bytes) / sizeof(std::uint32_t));
    if (blocks > limit) {
        out_of_memory("cannot hold " + decimal(blocks) + " block counts: at most " + decimal(limit) + " fit");
    }
    try {
        return std::vector<std::uint32_t>(static_cast<std::size_t>(blocks));
    } catch (const std::bad_alloc&) {
        out_of_memory("cannot hold " + decimal(blocks) + " block counts: out of memory");
    }
}

std::uint32_t worker_budget(std::uint64_t threads) {
    try {
        const std::uint32_t configured = configured_worker_count_quietly();
        return threads == 0 ? configured : static_cast<std::uint32_t>(std::min<std::uint64_t>(configured, threads));
    } catch (const WorkerPoolError& error) {
        throw CountError(CountError::Kind::no_workers, error.what());
    }
}

}  // namespace

void check_countable(const Planes& planes) {
    if (planes.passengers == 0) {
        refuse(NO_LAST_PASSENGER);
    }
    if (planes.passengers > planes.seats) {
        refuse(decimal(planes.passengers) + " passengers do not fit in " + decimal(planes.seats) + " seats");
    }
    const std::uint64_t letters = std::min(planes.seats, COLUMNS_PER_ROW);
    if (planes.cols.size() < letters) {
        refuse(decimal(planes.seats) + " seats need " + decimal(letters) + " column letters, got " +
               decimal(planes.cols.size()));
    }
    // The same limit the seat list of any boarding meets (seating_steps::fill_seat_numbers).
    const std::uint64_t limit = max_seats_within(memory_budget_for(saturating_bytes(planes.seats, sizeof(SeatNumber))));
    if (planes.seats > limit) {
        out_of_memory(too_many_seats_message(planes.seats, limit));
    }
}

namespace {

// Runs `skipped` boardings uncounted, then counts `counted` of them, from `words`.
std::uint32_t board(const Planes& planes, ChaCha12Rng& words, std::uint64_t skipped, std::uint64_t counted,
                    std::vector<SeatNumber>& seats) {
    for (std::uint64_t i = 0; i < skipped; ++i) {
        static_cast<void>(run_simulation(planes, words, seats));
    }
    std::uint32_t successes = 0;
    for (std::uint64_t i = 0; i < counted; ++i) {
        successes += run_simulation(planes, words, seats) ? 1 : 0;
    }
    return successes;
}

// The lanes a worker boards its blocks in, when they pay: those of the request's block
// function, when the worker's share of the blocks fills at least half of them, else none
// (scalar). Narrower lanes than the processor's widest lose to the scalar boarding, whose words
// come from the fastest block function.
const LaneEngine* lanes_for(const Planes& planes, const CountRequest& request, std::uint64_t blocks,
                            std::uint32_t workers) {
    const std::span<const LaneEngine> engines = lane_engines(request.refill);
    if (planes.seats > MAX_LANE_SEATS || engines.empty()) {
        return nullptr;
    }
    const std::uint64_t per_worker = (blocks + workers - 1) / workers;
    return engines.front().lanes <= 2 * per_worker ? &engines.front() : nullptr;
}

}  // namespace

std::uint32_t blocks_at_once(std::uint64_t seats, ChaChaRefillFunction refill) noexcept {
    const std::span<const LaneEngine> engines = lane_engines(refill);
    return seats > MAX_LANE_SEATS || engines.empty() ? 1 : engines.front().lanes;
}

CountResult count_boardings(const Planes& planes, const CountRequest& request) {
    check_request(request);
    check_countable(planes);
    CountResult result;
    if (request.start == request.stop) {
        // Nothing drawn: the next boarding begins where this one was said to.
        if (request.start_position != UNKNOWN_POSITION) {
            result.stop_position = request.start_position;
        }
        return result;
    }
    const std::uint64_t size = request.block_size;
    const std::uint64_t first_block = request.start / size;
    const std::uint64_t blocks = (request.stop - 1) / size - first_block + 1;
    result.per_block = block_counts(blocks);

    // The budget and the memory guard of run_simulations, over blocks instead of boardings.
    const std::uint32_t budget = worker_budget(request.threads);
    const std::uint64_t list_bytes = saturating_bytes(std::max<std::uint64_t>(planes.seats, 1), sizeof(SeatNumber));
    const std::uint32_t workers =
        concurrent_boardings(planes, blocks, budget, memory_budget_for(saturating_bytes(list_bytes, budget)));

    std::atomic<std::uint64_t> next{0};
    // Only the allocation of a worker's seat list can fail: a boarding of a checked plane over
    // a list that never grows cannot. The first failure stops every worker and reaches the caller.
    std::atomic<bool> stopped{false};
    std::vector<std::exception_ptr> failures(workers);
    const LaneEngine* const engine = lanes_for(planes, request, blocks, workers);
    // Where boarding `first` of a block draws first, and how many it counts from there. The
    // scalar boardings of a block before `start` run here, unless the caller knows where they end.
    struct Part {
        ChaCha12Rng words;
        std::uint64_t block;
        std::uint64_t counted;
    };
    const auto part = [&](std::uint64_t index, std::vector<SeatNumber>& seats) {
        const std::uint64_t block = first_block + index;
        const std::uint64_t block_start = block * size;
        const std::uint64_t first = std::max(request.start, block_start) - block_start;
        const std::uint64_t end = std::min(request.stop - block_start, size);
        Part made{ChaCha12Rng(request.key, block, request.refill), block, end - first};
        if (index == 0 && first != 0 && request.start_position != UNKNOWN_POSITION) {
            made.words.seek(request.start_position);
        } else {
            board(planes, made.words, first, 0, seats);
        }
        return made;
    };
    // Blocks claimed one by one as lanes fall free.
    struct Feed {
        std::atomic<std::uint64_t>& claims;
        const std::atomic<bool>& stopped;
        std::uint64_t blocks;
        CountResult& result;
        const decltype(part)& part_of;
        std::vector<SeatNumber>& seats;
        bool next(LaneRun& run) {
            const std::uint64_t index = claims.fetch_add(1, std::memory_order_relaxed);
            if (index >= blocks || stopped.load(std::memory_order_relaxed)) {
                return false;
            }
            const Part made = part_of(index, seats);
            // A block's count is below 2^32.
            run = {index, made.block, made.words.position(), static_cast<std::uint32_t>(made.counted)};
            return true;
        }
        void done(const LaneRun& run, std::uint32_t successes, std::uint64_t stop_position) {
            result.per_block[static_cast<std::size_t>(run.id)] = successes;
            if (run.id == blocks - 1) {
                result.stop_position = stop_position;
            }
        }
    };
    const auto work = [&](std::uint32_t worker) noexcept {
        try {
            // Made by the worker itself, as in run_simulations: lists of different workers
            // never share a cache line.
            std::vector<SeatNumber> seats;
            seats.reserve(static_cast<std::size_t>(planes.seats));
            if (engine != nullptr) {
                Feed feed{next, stopped, blocks, result, part, seats};
                const auto passengers = static_cast<std::uint32_t>(planes.passengers);
                board_in_lanes(*engine, request.key, lane_plane(passengers, static_cast<std::uint32_t>(planes.seats)),
                               feed);
                return;
            }
            for (;;) {
                const std::uint64_t index = next.fetch_add(1, std::memory_order_relaxed);
                if (index >= blocks || stopped.load(std::memory_order_relaxed)) {
                    return;
                }
                Part made = part(index, seats);
                result.per_block[static_cast<std::size_t>(index)] = board(planes, made.words, 0, made.counted, seats);
                if (index == blocks - 1) {
                    result.stop_position = made.words.position();
                }
            }
        } catch (...) {
            failures[worker] = std::current_exception();
            stopped.store(true, std::memory_order_relaxed);
        }
    };
    try {
        run_on_workers_quietly(workers, work);
    } catch (const WorkerPoolError& error) {
        throw CountError(CountError::Kind::no_workers, error.what());
    }
    for (const std::exception_ptr& failure : failures) {
        if (failure) {
            try {
                std::rethrow_exception(failure);
            } catch (const std::bad_alloc&) {
                out_of_memory(out_of_memory_message(planes.seats));
            }
        }
    }
    for (const std::uint32_t count : result.per_block) {
        result.successes += count;
    }
    return result;
}

}  // namespace tavrin
