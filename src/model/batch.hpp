// Repeated simulation: `iterations` independent boardings on a pool of worker threads made
// for this one call, reduced to the fraction that came out true.
#pragma once

#include <cstdint>

#include "config.hpp"

namespace tavrin {

// k / iterations in double precision, where k boardings came out true; NaN for 0 iterations.
// A boarding that fails writes its report to standard error and counts as not true. Fails
// (fatally) only when the worker pool cannot be created.
double run_simulations(const Planes& planes, std::uint64_t iterations);

// How many boardings of `planes` the batch runs at once, each on a worker thread of its own:
// no more than `workers`, than there are iterations, or than seat lists fit in `budget_bytes`
// together (each boarding holds a list of all seats). At least 1.
std::uint32_t concurrent_boardings(const Planes& planes, std::uint64_t iterations, std::uint32_t workers,
                                   std::uint64_t budget_bytes);

// true_count / iterations as IEEE double division: both counts rounded to the nearest double,
// the quotient rounded once. NaN for 0 / 0.
double fraction_true(std::uint64_t true_count, std::uint64_t iterations);

}  // namespace tavrin
