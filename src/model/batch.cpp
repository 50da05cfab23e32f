// The batch: one worker per boarding that can run at once, each claiming runs of iterations
// from a shared counter until none are left, so memory stays the same however many
// iterations are asked for. Every iteration is claimed exactly once; a boarding that fails
// counts as not true and the rest run on. The workers and the snapshot both end before the
// call returns, on every path.
#include "batch.hpp"

#include <algorithm>
#include <atomic>
#include <vector>

#include "boarding.hpp"
#include "lanes.hpp"
#include "memory.hpp"
#include "pool.hpp"
#include "rng.hpp"

namespace tavrin {

namespace {

// Seats shuffled per claim: about half a millisecond of boarding, long enough that the shared
// counter costs nothing next to it, short enough that the last claims still even out the load.
constexpr std::uint64_t SEATS_PER_CLAIM = std::uint64_t{1} << 16;
// Claims per worker at least, so that a worker that falls behind is covered by the others.
constexpr std::uint64_t CLAIMS_PER_WORKER = 8;
// Assumed size of a cache line: the per-worker counts sit on lines of their own.
constexpr std::size_t CACHE_LINE = 64;

struct alignas(CACHE_LINE) WorkerTally {
    std::uint64_t true_count = 0;
};

std::uint64_t claim_size(const Planes& planes, std::uint64_t iterations, std::uint32_t workers) {
    const std::uint64_t seats_per_boarding = std::max({planes.passengers, planes.seats, std::uint64_t{1}});
    const std::uint64_t by_cost = SEATS_PER_CLAIM / seats_per_boarding;
    const std::uint64_t by_balance = iterations / (std::uint64_t{workers} * CLAIMS_PER_WORKER);
    return std::max<std::uint64_t>(std::min(by_cost, by_balance), 1);
}

// Takes the next run of at most `size` iterations; false once all are taken. A
// compare-exchange rather than fetch_add, so the counter never passes `iterations` and cannot
// wrap around however close to 2^64 that is.
bool claim(std::atomic<std::uint64_t>& next, std::uint64_t iterations, std::uint64_t size,
           std::uint64_t& begin, std::uint64_t& end) {
    std::uint64_t start = next.load(std::memory_order_relaxed);
    do {
        if (start >= iterations) {
            return false;
        }
        end = start + std::min(size, iterations - start);
    } while (!next.compare_exchange_weak(start, end, std::memory_order_relaxed));
    begin = start;
    return true;
}

// Words a lane's run of boardings takes at least: a run that ends drops the rest of its block
// (at most 15 words) until the next refill hands its lane another.
constexpr std::uint64_t WORDS_PER_LANE_RUN = 4096;

// The worker's claimed boardings, handed to the lanes in runs, and their true count; the lanes'
// blocks come from the worker's own generator.
struct LaneFeed {
    std::atomic<std::uint64_t>& next_claim;
    std::uint64_t iterations;
    std::uint64_t size;
    std::uint64_t begin;
    std::uint64_t end;
    std::uint64_t run_size;
    ThreadRng& rng;
    std::uint64_t true_count = 0;

    bool next(LaneRun& run) {
        if (begin == end && !claim(next_claim, iterations, size, begin, end)) {
            return false;
        }
        const std::uint64_t boardings = std::min(run_size, end - begin);
        begin += boardings;
        run.boardings = static_cast<std::uint32_t>(boardings);
        return true;
    }
    void done(const LaneRun&, std::uint32_t successes, std::uint64_t) { true_count += successes; }
    std::uint64_t shared_blocks(std::uint32_t count, ChaChaKey& key) { return rng.take_blocks(count, key); }
};

// Boards claimed runs until none are left; a boarding that fails is reported here, counts as
// not true, and the next one goes on. The first boarding runs on the scalar path, which checks
// the plane and holds the seat list; when it succeeds and the processor has lanes, the lanes
// board the rest, eight to sixteen at once.
std::uint64_t board_claims(const Planes& planes, std::atomic<std::uint64_t>& next,
                           std::uint64_t iterations, std::uint64_t size) noexcept {
    // One seat list for all the boardings of this worker: it grows to the cabin once.
    std::vector<SeatNumber> seats;
    ThreadRng& rng = thread_rng();
    std::uint64_t true_count = 0;
    std::uint64_t begin = 0;
    std::uint64_t end = 0;
    if (!claim(next, iterations, size, begin, end)) {
        return 0;
    }
    bool sound = false;
    try {
        true_count += run_simulation(planes, rng, seats) ? 1 : 0;
        sound = true;
    } catch (...) {
        report_caught_failure();
    }
    ++begin;
    const std::span<const LaneEngine> engines = lane_engines();
    if (sound && !engines.empty() && planes.seats <= MAX_LANE_SEATS) {
        const std::uint64_t run_size = std::max<std::uint64_t>(WORDS_PER_LANE_RUN / planes.seats, 1);
        LaneFeed feed{next, iterations, size, begin, end, run_size, rng};
        // A sound plane has 1 <= passengers <= seats.
        board_in_lanes(engines.front(), ChaChaKey{},
                       lane_plane(static_cast<std::uint32_t>(planes.passengers), static_cast<std::uint32_t>(planes.seats)),
                       feed);
        return true_count + feed.true_count;
    }
    do {
        for (std::uint64_t i = begin; i < end; ++i) {
            try {
                if (run_simulation(planes, rng, seats)) {
                    ++true_count;
                }
            } catch (...) {
                report_caught_failure();
            }
        }
    } while (claim(next, iterations, size, begin, end));
    return true_count;
}

// The memory one boarding's seat list takes.
std::uint64_t seat_list_bytes(const Planes& planes) {
    return saturating_bytes(std::max<std::uint64_t>(planes.seats, 1), sizeof(SeatNumber));
}

}  // namespace

double run_simulations(const Planes& planes, std::uint64_t iterations) {
    // The workers read this copy only, never the caller's record.
    const Planes snapshot = planes;
    const std::uint32_t workers = configured_worker_count();
    const std::uint64_t lists_bytes = saturating_bytes(seat_list_bytes(planes), workers);
    const std::uint32_t boardings = concurrent_boardings(planes, iterations, workers, memory_budget_for(lists_bytes));
    const std::uint64_t size = claim_size(planes, iterations, boardings);

    // An empty batch still starts its workers, which find nothing to claim.
    std::atomic<std::uint64_t> next{0};
    std::vector<WorkerTally> tallies(boardings);
    run_on_workers(boardings, [&](std::uint32_t worker) noexcept {
        tallies[worker].true_count = board_claims(snapshot, next, iterations, size);
    });

    std::uint64_t true_count = 0;
    for (const WorkerTally& tally : tallies) {
        true_count += tally.true_count;
    }
    // 0 / 0 gives NaN for an empty batch.
    return fraction_true(true_count, iterations);
}

std::uint32_t concurrent_boardings(const Planes& planes, std::uint64_t iterations, std::uint32_t workers,
                                   std::uint64_t budget_bytes) {
    const std::uint64_t seats = std::max<std::uint64_t>(planes.seats, 1);
    const std::uint64_t lists_in_memory = std::max<std::uint64_t>(max_seats_within(budget_bytes) / seats, 1);
    const std::uint64_t tasks = std::min({std::uint64_t{workers}, iterations, lists_in_memory});
    return static_cast<std::uint32_t>(std::max<std::uint64_t>(tasks, 1));
}

double fraction_true(std::uint64_t true_count, std::uint64_t iterations) {
#if defined(__i386__) && !defined(__SSE2_MATH__)
    // The x87 unit divides in extended precision, and rounding that result to double again
    // is off by one unit in the last place for a few quotients. Round both operands to double
    // through memory and divide with the precision control set to double, so the quotient is
    // rounded once, as on every other target.
    const volatile double numerator = static_cast<double>(true_count);
    const volatile double denominator = static_cast<double>(iterations);
    std::uint16_t saved = 0;
    asm volatile("fnstcw %0" : "=m"(saved));
    const std::uint16_t double_precision = static_cast<std::uint16_t>((saved & ~0x0300u) | 0x0200u);
    asm volatile("fldcw %0" : : "m"(double_precision));
    const volatile double quotient = numerator / denominator;
    asm volatile("fldcw %0" : : "m"(saved));
    return quotient;
#else
    return static_cast<double>(true_count) / static_cast<double>(iterations);
#endif
}

}  // namespace tavrin
