// Cost of one boarding against the bare random draws it needs, for passengers = seats = 10,
// 100, 1000 and 10000, on the calling thread's generator. The bare draws are the shuffle's
// uniform_below(n) for n = seats down to 2 plus the chain of displaced passengers' draws, made
// without touching a seat list. Boardings and bare draws are timed in alternating rounds and
// the fastest round of each counts, which keeps the comparison fair on a shared machine.
//
//   boarding_bench [--csv] [--rounds N]
//
// --csv prints "passengers,ns_per_boarding,ns_bare_draws,ratio" lines for other tools.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "planes.hpp"

namespace {

using tavrin::Planes;

constexpr std::uint32_t SIZES[] = {10, 100, 1000, 10000};
// Draws per timed round: long enough to dwarf the clock, short enough to keep a run brief.
constexpr std::uint64_t DRAWS_PER_ROUND = 2'000'000;
constexpr int DEFAULT_ROUNDS = 15;
// Targets: a boarding costs at most this many times its bare draws...
constexpr double MAX_BOARDING_OVER_DRAWS = 1.4;
// ...and ten times the passengers cost at most this many times as much.
constexpr double MAX_COST_1000_OVER_100 = 12.0;

// Returns a value depending on every draw, so that none can be optimised away.
std::uint64_t bare_draws(tavrin::ThreadRng& g, std::uint32_t passengers) {
    // Read as a boarding reads them: through a cursor for the whole run.
    tavrin::WordCursor<tavrin::ThreadRng> words(g);
    std::uint64_t sum = 0;
    for (std::uint32_t n = passengers; n >= 2; --n) {
        sum += tavrin::uniform_below(words, n);
    }
    std::uint64_t drawer = 1;
    for (;;) {
        const std::uint32_t k = tavrin::uniform_below(words, static_cast<std::uint32_t>(passengers - drawer + 1));
        sum += k;
        if (k == 0) {
            return sum;
        }
        drawer += k;
    }
}

template <typename Body>
double ns_per_iteration(std::uint64_t iterations, Body&& body) {
    const auto start = std::chrono::steady_clock::now();
    for (std::uint64_t i = 0; i < iterations; ++i) {
        body();
    }
    const std::chrono::duration<double, std::nano> elapsed = std::chrono::steady_clock::now() - start;
    return elapsed.count() / static_cast<double>(iterations);
}

struct Row {
    std::uint32_t passengers;
    double boarding_ns;
    double draws_ns;
};

Row measure(std::uint32_t passengers, int rounds) {
    const Planes planes{std::vector<char32_t>(std::begin(tavrin::DEFAULT_COLS), std::end(tavrin::DEFAULT_COLS)),
                        passengers, passengers};
    const std::uint64_t iterations = std::max<std::uint64_t>(1, DRAWS_PER_ROUND / passengers);
    tavrin::ThreadRng& g = tavrin::thread_rng();
    std::uint64_t sink = 0;
    Row row{passengers, 1e300, 1e300};
    for (int round = 0; round < rounds; ++round) {
        row.boarding_ns = std::min(row.boarding_ns, ns_per_iteration(iterations, [&] {
                                       sink += tavrin::run_simulation(planes) ? 1 : 0;
                                   }));
        row.draws_ns = std::min(row.draws_ns, ns_per_iteration(iterations, [&] { sink += bare_draws(g, passengers); }));
    }
    if (sink == 0) {
        std::fputs("(no draws)\n", stderr);
    }
    return row;
}

const char* verdict(bool met) { return met ? "met" : "MISSED"; }

}  // namespace

int main(int argc, char** argv) {
    bool csv = false;
    int rounds = DEFAULT_ROUNDS;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--csv") == 0) {
            csv = true;
        } else if (std::strcmp(argv[i], "--rounds") == 0 && i + 1 < argc && std::atoi(argv[i + 1]) > 0) {
            rounds = std::atoi(argv[++i]);
        } else {
            std::fprintf(stderr, "usage: %s [--csv] [--rounds N]\n", argv[0]);
            return 2;
        }
    }

    std::vector<Row> rows;
    for (const std::uint32_t passengers : SIZES) {
        rows.push_back(measure(passengers, rounds));
    }

    if (csv) {
        std::printf("passengers,ns_per_boarding,ns_bare_draws,ratio\n");
        for (const Row& row : rows) {
            std::printf("%u,%.1f,%.1f,%.3f\n", row.passengers, row.boarding_ns, row.draws_ns,
                        row.boarding_ns / row.draws_ns);
        }
        return 0;
    }

    std::printf("| passengers = seats | ns per boarding | ns bare draws | boarding / draws |\n");
    std::printf("|---:|---:|---:|---:|\n");
    bool ratios_met = true;
    double cost_100 = 0;
    double cost_1000 = 0;
    for (const Row& row : rows) {
        const double ratio = row.boarding_ns / row.draws_ns;
        ratios_met = ratios_met && ratio <= MAX_BOARDING_OVER_DRAWS;
        std::printf("| %u | %.1f | %.1f | %.2f |\n", row.passengers, row.boarding_ns, row.draws_ns, ratio);
        if (row.passengers == 100) {
            cost_100 = row.boarding_ns;
        } else if (row.passengers == 1000) {
            cost_1000 = row.boarding_ns;
        }
    }
    const double growth = cost_1000 / cost_100;
    std::printf("\ncost(1000) / cost(100) = %.2f\n", growth);
    std::printf("boarding at most %.1fx its bare draws: %s\n", MAX_BOARDING_OVER_DRAWS, verdict(ratios_met));
    std::printf("cost(1000) at most %.0fx cost(100): %s\n", MAX_COST_1000_OVER_100,
                verdict(growth <= MAX_COST_1000_OVER_100));
    return 0;
}
