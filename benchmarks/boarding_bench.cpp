// Cost of one boarding on one thread, for passengers = seats = 10, 100, 1000 and 10000, side
// by side in one run:
//
//   old    the boarding as the model made it before its draws went without branches
//          (branching_draws.hpp, compiled into this program only);
//   new    the model's boarding, run_simulation(planes, rng, seats) over a seat list kept from
//          one boarding to the next, as run_simulations and the seeded count run it;
//   floor  generating the ChaCha12 words such a boarding consumes (counted for each size
//          first), with the fastest block function, and nothing else: what no boarding that
//          draws these words can beat;
//   draws  the model's draws alone, made without a seat list (the "bare draws" that
//          bench_simulations.py sets beside the module);
//   batch  the boardings in the widest lanes (lanes.hpp), their blocks dealt from the thread's
//          generator, as a worker of run_simulations boards them;
//   count  the same lanes with a block of its own stream per lane, as a worker of the seeded
//          count boards them;
//   wide floor  the words of "floor" made by the widest lanes' block function, as they make them.
//
// old, new and draws draw from the calling thread's generator. The four are timed in
// alternating rounds, by the thread's processor time, and the fastest round of each counts,
// which keeps the comparison fair on a shared machine.
//
//   boarding_bench [--csv] [--rounds N] [--lanes avx512|avx2|sse2]
//   boarding_bench --run old|new|floor --passengers P --boardings N
//
// --csv prints "passengers,ns_per_boarding,ns_bare_draws,ratio,ns_old_boarding,ns_words_floor,
// words_per_boarding" lines for other tools (ns_per_boarding is the new path; ratio is its cost
// over the bare draws). --run makes N boardings of one path and nothing else, for a profiler
// such as valgrind's branch simulator (run it with 0 boardings too, and subtract).
#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "boarding.hpp"
#include "branching_draws.hpp"
#include "chacha.hpp"
#include "lanes.hpp"
#include "planes.hpp"
#include "rng.hpp"

namespace {

using tavrin::Planes;
using tavrin::SeatNumber;

constexpr std::uint32_t SIZES[] = {10, 100, 1000, 10000};
// Seats shuffled per timed round: long enough to dwarf the clock, short enough that some rounds
// fall in a quiet moment of a shared machine.
constexpr std::uint64_t SEATS_PER_ROUND = 250'000;
constexpr int DEFAULT_ROUNDS = 40;
// Boardings whose words are counted for the floor.
constexpr std::uint64_t COUNTED_SEATS = 4'000'000;
// Targets: at 100 passengers the new path is at least this many times as fast as the old...
constexpr double MIN_SPEEDUP_AT_100 = 1.5;
// ...a boarding costs at most this many times its bare draws...
constexpr double MAX_BOARDING_OVER_DRAWS = 1.4;
// ...and ten times the passengers cost at most this many times as much.
constexpr double MAX_COST_1000_OVER_100 = 12.0;

Planes plane(std::uint32_t passengers) {
    return Planes{std::vector<char32_t>(std::begin(tavrin::DEFAULT_COLS), std::end(tavrin::DEFAULT_COLS)),
                  passengers, passengers};
}

// ChaCha12 with a fixed key, counting the words it hands out.
struct CountedWords : tavrin::WordSourceBase {
    tavrin::ChaCha12Rng words{tavrin::ChaChaKey{0xb0a4d}};
    std::uint64_t count = 0;
    result_type operator()() {
        ++count;
        return words();
    }
};

double words_per_boarding(std::uint32_t passengers) {
    const Planes planes = plane(passengers);
    const std::uint64_t boardings = std::max<std::uint64_t>(1, COUNTED_SEATS / passengers);
    CountedWords words;
    std::vector<SeatNumber> seats;
    for (std::uint64_t i = 0; i < boardings; ++i) {
        static_cast<void>(tavrin::run_simulation(planes, words, seats));
    }
    return static_cast<double>(words.count) / static_cast<double>(boardings);
}

// The words of `boardings` boardings, four blocks per call as the generators take them.
std::uint64_t generate_words(double per_boarding, std::uint64_t boardings) {
    const tavrin::ChaChaRefillFunction blocks = tavrin::chacha_paths().front().rounds12;
    const auto refills = static_cast<std::uint64_t>(
        std::ceil(per_boarding * static_cast<double>(boardings) / tavrin::CHACHA_REFILL_WORDS));
    const tavrin::ChaChaKey key{0xf1004};
    tavrin::ChaChaRefill buffer;
    std::uint64_t sink = 0;
    for (std::uint64_t i = 0; i < refills; ++i) {
        blocks(key, i * tavrin::CHACHA_REFILL_BLOCKS, 0, buffer);
        sink += buffer[i % tavrin::CHACHA_REFILL_WORDS];
    }
    return sink;
}

// The lanes measured: the widest this processor runs, or the one --lanes names.
const tavrin::LaneEngine* chosen_lanes = nullptr;

const tavrin::LaneEngine& widest_lanes() { return chosen_lanes != nullptr ? *chosen_lanes : tavrin::lane_engines().front(); }

// The words of `boardings` boardings, made by the lanes' block function, a block per lane.
std::uint64_t generate_lane_words(double per_boarding, std::uint64_t boardings) {
    const tavrin::LaneEngine& engine = widest_lanes();
    const auto refills = static_cast<std::uint64_t>(std::ceil(
        per_boarding * static_cast<double>(boardings) / (tavrin::CHACHA_BLOCK_WORDS * engine.lanes)));
    const tavrin::ChaChaKey key{0xf1004};
    tavrin::LaneBlocks at{};
    tavrin::LaneRows rows;
    std::uint64_t sink = 0;
    for (std::uint64_t i = 0; i < refills; ++i) {
        for (std::uint32_t lane = 0; lane < engine.lanes; ++lane) {
            at.counter_low[lane] = static_cast<std::uint32_t>(i);
            at.stream_low[lane] = lane;
        }
        engine.blocks(key, at, rows, 12);
        sink += rows.words[i % (tavrin::CHACHA_BLOCK_WORDS * engine.lanes)];
    }
    return sink;
}

// `boardings` boardings in the widest lanes, in runs of about 4096 words per lane as the batch
// deals them, from the thread's generator.
struct BatchFeed {
    std::uint64_t left;
    std::uint64_t run;
    std::uint64_t successes = 0;
    bool next(tavrin::LaneRun& lane) {
        if (left == 0) {
            return false;
        }
        lane.boardings = static_cast<std::uint32_t>(std::min(run, left));
        left -= lane.boardings;
        return true;
    }
    void done(const tavrin::LaneRun&, std::uint32_t counted, std::uint64_t) { successes += counted; }
    std::uint64_t shared_blocks(std::uint32_t count, tavrin::ChaChaKey& key) {
        return tavrin::thread_rng().take_blocks(count, key);
    }
};

// `boardings` boardings in the widest lanes, one block of its own stream per lane.
struct CountFeed {
    std::uint64_t left;
    std::uint64_t per_block;
    std::uint64_t stream = 0;
    std::uint64_t successes = 0;
    bool next(tavrin::LaneRun& lane) {
        if (left == 0) {
            return false;
        }
        const std::uint64_t boardings = std::min(per_block, left);
        lane = {stream, stream, 0, static_cast<std::uint32_t>(boardings)};
        ++stream;
        left -= boardings;
        return true;
    }
    void done(const tavrin::LaneRun&, std::uint32_t counted, std::uint64_t) { successes += counted; }
};

std::uint64_t board_batch(std::uint32_t passengers, std::uint64_t boardings) {
    BatchFeed feed{boardings, std::max<std::uint64_t>(4096 / passengers, 1)};
    tavrin::board_in_lanes(widest_lanes(), tavrin::ChaChaKey{}, tavrin::lane_plane(passengers, passengers), feed);
    return feed.successes;
}

std::uint64_t board_count(std::uint32_t passengers, std::uint64_t boardings) {
    const std::uint32_t lanes = widest_lanes().lanes;
    CountFeed feed{boardings, (boardings + lanes - 1) / lanes};
    tavrin::board_in_lanes(widest_lanes(), tavrin::ChaChaKey{0xc0c0}, tavrin::lane_plane(passengers, passengers), feed);
    return feed.successes;
}

// The draws of one boarding without a seat list, made as the model makes them; the generator's
// position and the returned drawer keep any of them from being optimised away.
std::uint64_t bare_draws(tavrin::ThreadRng& g, std::uint32_t passengers) {
    tavrin::skip_shuffle(g, passengers);
    tavrin::WordCursor<tavrin::ThreadRng> words(g);
    std::uint32_t drawer = 1;
    std::uint32_t ended = 0;
    do {
        const tavrin::Attempt attempt = tavrin::attempt_below(words(), passengers - drawer + 1);
        drawer += tavrin::select(attempt.kept, attempt.value, 0);
        ended = attempt.kept & std::uint32_t{attempt.value == 0};
    } while (ended == 0);
    return drawer;
}

// Processor time of the calling thread: on a machine shared with busy neighbours, time spent
// waiting for a processor is not the boarding's.
double thread_ns() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e9 + static_cast<double>(now.tv_nsec);
}

template <typename Body>
double ns_per_iteration(std::uint64_t iterations, Body&& body) {
    const double start = thread_ns();
    body();
    return (thread_ns() - start) / static_cast<double>(iterations);
}

struct Row {
    std::uint32_t passengers;
    double words;
    double old_ns;
    double new_ns;
    double floor_ns;
    double draws_ns;
    double batch_ns;
    double count_ns;
    double wide_floor_ns;
};

Row measure(std::uint32_t passengers, int rounds) {
    const Planes planes = plane(passengers);
    const std::uint64_t iterations = std::max<std::uint64_t>(1, SEATS_PER_ROUND / passengers);
    tavrin::ThreadRng& g = tavrin::thread_rng();
    std::vector<SeatNumber> seats;
    std::uint64_t sink = 0;
    Row row{passengers, words_per_boarding(passengers), 1e300, 1e300, 1e300, 1e300, 1e300, 1e300, 1e300};
    for (int round = 0; round < rounds; ++round) {
        row.old_ns = std::min(row.old_ns, ns_per_iteration(iterations, [&] {
                                  for (std::uint64_t i = 0; i < iterations; ++i) {
                                      sink += tavrin::branching::run_simulation(planes, g, seats) ? 1 : 0;
                                  }
                              }));
        row.new_ns = std::min(row.new_ns, ns_per_iteration(iterations, [&] {
                                  for (std::uint64_t i = 0; i < iterations; ++i) {
                                      sink += tavrin::run_simulation(planes, g, seats) ? 1 : 0;
                                  }
                              }));
        row.floor_ns = std::min(row.floor_ns, ns_per_iteration(iterations, [&] {
                                    sink += generate_words(row.words, iterations);
                                }));
        row.draws_ns = std::min(row.draws_ns, ns_per_iteration(iterations, [&] {
                                    for (std::uint64_t i = 0; i < iterations; ++i) {
                                        sink += bare_draws(g, passengers);
                                    }
                                }));
        row.batch_ns = std::min(row.batch_ns, ns_per_iteration(iterations, [&] {
                                    sink += board_batch(passengers, iterations);
                                }));
        row.count_ns = std::min(row.count_ns, ns_per_iteration(iterations, [&] {
                                    sink += board_count(passengers, iterations);
                                }));
        row.wide_floor_ns = std::min(row.wide_floor_ns, ns_per_iteration(iterations, [&] {
                                         sink += generate_lane_words(row.words, iterations);
                                     }));
    }
    if (sink == 0) {
        std::fputs("(no draws)\n", stderr);
    }
    return row;
}

const char* verdict(bool met) { return met ? "met" : "MISSED"; }

// N boardings of one path and nothing else.
int run_only(const std::string& path, std::uint32_t passengers, std::uint64_t boardings) {
    const Planes planes = plane(passengers);
    tavrin::ThreadRng& g = tavrin::thread_rng();
    std::vector<SeatNumber> seats;
    std::uint64_t sink = 0;
    if (path == "old") {
        for (std::uint64_t i = 0; i < boardings; ++i) {
            sink += tavrin::branching::run_simulation(planes, g, seats) ? 1 : 0;
        }
    } else if (path == "new") {
        for (std::uint64_t i = 0; i < boardings; ++i) {
            sink += tavrin::run_simulation(planes, g, seats) ? 1 : 0;
        }
    } else if (path == "floor") {
        sink += generate_words(words_per_boarding(passengers), boardings);
    } else {
        std::fprintf(stderr, "--run takes old, new or floor, not %s\n", path.c_str());
        return 2;
    }
    std::printf("%s: %llu boardings of %u passengers (%llu)\n", path.c_str(),
                static_cast<unsigned long long>(boardings), passengers, static_cast<unsigned long long>(sink));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    bool csv = false;
    int rounds = DEFAULT_ROUNDS;
    std::string only;
    long passengers = 100;
    long long boardings = -1;
    for (int i = 1; i < argc; ++i) {
        const bool has_value = i + 1 < argc;
        if (std::strcmp(argv[i], "--csv") == 0) {
            csv = true;
        } else if (std::strcmp(argv[i], "--rounds") == 0 && has_value && std::atoi(argv[i + 1]) > 0) {
            rounds = std::atoi(argv[++i]);
        } else if (std::strcmp(argv[i], "--lanes") == 0 && has_value) {
            const std::string name = argv[++i];
            for (const tavrin::LaneEngine& engine : tavrin::lane_engines()) {
                chosen_lanes = name == engine.name ? &engine : chosen_lanes;
            }
            if (chosen_lanes == nullptr) {
                std::fprintf(stderr, "this processor has no lanes named %s\n", name.c_str());
                return 2;
            }
        } else if (std::strcmp(argv[i], "--run") == 0 && has_value) {
            only = argv[++i];
        } else if (std::strcmp(argv[i], "--passengers") == 0 && has_value && std::atol(argv[i + 1]) > 0) {
            passengers = std::atol(argv[++i]);
        } else if (std::strcmp(argv[i], "--boardings") == 0 && has_value && std::atoll(argv[i + 1]) >= 0) {
            boardings = std::atoll(argv[++i]);
        } else {
            std::fprintf(stderr,
                         "usage: %s [--csv] [--rounds N] [--lanes avx512|avx2|sse2]\n"
                         "       %s --run old|new|floor --passengers P --boardings N\n",
                         argv[0], argv[0]);
            return 2;
        }
    }
    if (!only.empty()) {
        if (boardings < 0 || passengers > 100'000'000) {
            std::fprintf(stderr, "--run needs --boardings N, and at most 10^8 passengers\n");
            return 2;
        }
        return run_only(only, static_cast<std::uint32_t>(passengers), static_cast<std::uint64_t>(boardings));
    }

    std::vector<Row> rows;
    for (const std::uint32_t size : SIZES) {
        rows.push_back(measure(size, rounds));
    }

    if (csv) {
        std::printf("passengers,ns_per_boarding,ns_bare_draws,ratio,ns_old_boarding,ns_words_floor,words_per_boarding\n");
        for (const Row& row : rows) {
            std::printf("%u,%.1f,%.1f,%.3f,%.1f,%.1f,%.1f\n", row.passengers, row.new_ns, row.draws_ns,
                        row.new_ns / row.draws_ns, row.old_ns, row.floor_ns, row.words);
        }
        return 0;
    }

    std::printf("One thread, block function %s.\n\n", tavrin::chacha_paths().front().name);
    std::printf("| passengers = seats | words per boarding | ns old | ns new | old / new | ns words only | "
                "new / words only | ns bare draws | new / bare draws |\n");
    std::printf("|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n");
    bool ratios_met = true;
    bool no_slower = true;
    double speedup_100 = 0;
    double cost_100 = 0;
    double cost_1000 = 0;
    for (const Row& row : rows) {
        const double speedup = row.old_ns / row.new_ns;
        const double ratio = row.new_ns / row.draws_ns;
        ratios_met = ratios_met && ratio <= MAX_BOARDING_OVER_DRAWS;
        std::printf("| %u | %.1f | %.1f | %.1f | %.2fx | %.1f | %.2fx | %.1f | %.2fx |\n", row.passengers, row.words,
                    row.old_ns, row.new_ns, speedup, row.floor_ns, row.new_ns / row.floor_ns, row.draws_ns, ratio);
        if (row.passengers == 100) {
            speedup_100 = speedup;
            cost_100 = row.new_ns;
        } else if (row.passengers == 1000) {
            cost_1000 = row.new_ns;
        }
        if (row.passengers == 10 || row.passengers == 1000) {
            no_slower = no_slower && speedup >= 1.0;
        }
    }
    std::printf("\nIn lanes (%s, %u lanes):\n\n", widest_lanes().name, widest_lanes().lanes);
    std::printf("| passengers = seats | ns new | ns batch lanes | new / batch | ns count lanes | new / count | "
                "ns wide words only | batch / wide words | count / wide words |\n");
    std::printf("|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n");
    for (const Row& row : rows) {
        std::printf("| %u | %.1f | %.1f | %.2fx | %.1f | %.2fx | %.1f | %.2fx | %.2fx |\n", row.passengers, row.new_ns,
                    row.batch_ns, row.new_ns / row.batch_ns, row.count_ns, row.new_ns / row.count_ns,
                    row.wide_floor_ns, row.batch_ns / row.wide_floor_ns, row.count_ns / row.wide_floor_ns);
    }
    const double growth = cost_1000 / cost_100;
    std::printf("\ncost(1000) / cost(100) = %.2f\n", growth);
    std::printf("new at least %.1fx as fast as old at 100 passengers: %s\n", MIN_SPEEDUP_AT_100,
                verdict(speedup_100 >= MIN_SPEEDUP_AT_100));
    std::printf("new no slower than old at 10 and 1000 passengers: %s\n", verdict(no_slower));
    std::printf("boarding at most %.1fx its bare draws: %s\n", MAX_BOARDING_OVER_DRAWS, verdict(ratios_met));
    std::printf("cost(1000) at most %.0fx cost(100): %s\n", MAX_COST_1000_OVER_100,
                verdict(growth <= MAX_COST_1000_OVER_100));
    return 0;
}
