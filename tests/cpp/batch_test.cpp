// The batch: exactly `iterations` boardings whatever the worker count and claim size, the
// result a whole number of 1/iterations, failed boardings reported once each and counted as
// not true, NaN for an empty batch, and no thread left behind.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "batch.hpp"
#include "boarding.hpp"
#include "config.hpp"
#include "failures.hpp"
#include "pool.hpp"
#include "process_state.hpp"
#include "seating.hpp"

namespace tavrin {
namespace {

using namespace testing_support;

Planes plane(std::uint64_t passengers, std::uint64_t seats) {
    return Planes{{std::begin(DEFAULT_COLS), std::end(DEFAULT_COLS)}, passengers, seats};
}

// k / n for k <= n < 2^53, rounded once to the nearest double (ties to even) by long division
// in integers: the reference for fraction_true, independent of the floating-point unit.
double correctly_rounded_fraction(std::uint64_t k, std::uint64_t n) {
    if (k == 0) {
        return 0.0;
    }
    if (k == n) {
        return 1.0;
    }
    // Binary digits of k / n after the point, skipping leading zeros, until 54 are known.
    std::uint64_t remainder = k;
    std::uint64_t digits = 0;
    int exponent = 0;
    int known = 0;
    while (known < 54) {
        remainder *= 2;
        const bool bit = remainder >= n;
        if (bit) {
            remainder -= n;
        }
        --exponent;
        if (known > 0 || bit) {
            digits = digits * 2 + (bit ? 1 : 0);
            ++known;
        }
    }
    // 53 digits kept, the 54th and the rest decide the rounding.
    const bool half = (digits & 1) != 0;
    std::uint64_t kept = digits >> 1;
    if (half && (remainder != 0 || (kept & 1) != 0)) {
        ++kept;
    }
    return std::ldexp(static_cast<double>(kept), exponent + 1);
}

TEST(FractionTrue, RoundsTheQuotientOnceLikeIeeeDivision) {
    // Large odd denominators give quotients close to halfway between two doubles, where a
    // second rounding (x87 extended precision, then double) would go the wrong way.
    int checked = 0;
    for (std::uint64_t n = 1'000'001; n < 1'000'001 + 2 * 400; n += 2) {
        for (std::uint64_t k = 1; k < n; k += 997) {
            ASSERT_EQ(fraction_true(k, n), correctly_rounded_fraction(k, n)) << k << " / " << n;
            ++checked;
        }
    }
    EXPECT_GT(checked, 0);
    EXPECT_EQ(fraction_true(3, 4), 0.75);
    EXPECT_TRUE(std::isnan(fraction_true(0, 0)));
}

TEST(ConcurrentBoardings, IsOnePerWorkerUnlessIterationsOrMemoryRunShort) {
    EXPECT_EQ(concurrent_boardings(plane(100, 100), 1'000'000, 4, UINT64_MAX), 4u);
    EXPECT_EQ(concurrent_boardings(plane(100, 100), 3, 4, UINT64_MAX), 3u);
    EXPECT_EQ(concurrent_boardings(plane(1, 1), 3, MAX_WORKER_THREADS, UINT64_MAX), 3u);
    EXPECT_EQ(concurrent_boardings(plane(100, 100), 0, 4, UINT64_MAX), 1u);
    // Seat lists of 400 MB each: two fit in a budget of 1 GB, and one runs even when none fits.
    EXPECT_EQ(concurrent_boardings(plane(1, 100'000'000), 100, 4, 1'000'000'000), 2u);
    EXPECT_EQ(concurrent_boardings(plane(1, 100'000'000), 100, 4, 1000), 1u);
    EXPECT_EQ(concurrent_boardings(plane(1, UINT64_MAX), 100, 4, UINT64_MAX), 1u);
}

TEST(RunSimulations, AnEmptyBatchGivesNaNAndBoardsNobody) {
    double result = 0;
    // With 0 passengers any boarding would fail and leave a report.
    EXPECT_EQ(stderr_of([&result] { result = run_simulations(plane(0, 0), 0); }), "");
    EXPECT_TRUE(std::isnan(result));
}

TEST(RunSimulations, GivesAWholeNumberOfParts) {
    for (int run = 0; run < 50; ++run) {
        const double one = run_simulations(plane(100, 100), 1);
        EXPECT_TRUE(one == 0.0 || one == 1.0) << one;
        const double quarters = run_simulations(plane(100, 100), 4) * 4;
        EXPECT_TRUE(quarters == 0.0 || quarters == 1.0 || quarters == 2.0 || quarters == 3.0 || quarters == 4.0)
            << quarters;
        // Near k / 7 rather than equal: on x87 (-m32) either side may carry excess precision.
        const double sevenths = run_simulations(plane(10, 12), 7) * 7;
        const double k = std::round(sevenths);
        EXPECT_TRUE(k >= 0 && k <= 7 && std::fabs(sevenths - k) < 1e-9) << sevenths;
    }
}

struct BatchShape {
    const char* workers;
    std::uint64_t iterations;
};

void PrintTo(const BatchShape& shape, std::ostream* out) {
    *out << shape.workers << " workers, " << shape.iterations << " iterations";
}

class EveryIteration : public testing::TestWithParam<BatchShape> {};

// A lone passenger always finds their seat, so any lost or repeated iteration moves the
// result away from exactly 1.
TEST_P(EveryIteration, BoardsOnceWhenAllAreTrue) {
    const WorkerThreadsVariable workers(GetParam().workers);
    EXPECT_EQ(run_simulations(plane(1, 1), GetParam().iterations), 1.0);
}

// A boarding with no passengers always fails: one report per iteration, and a result of 0.
TEST_P(EveryIteration, ReportsEachFailedBoardingOnceAndCountsItNotTrue) {
    const WorkerThreadsVariable workers(GetParam().workers);
    double result = 1;
    const std::string err = stderr_of([&result] { result = run_simulations(plane(0, 0), GetParam().iterations); });
    EXPECT_EQ(result, 0.0);
    EXPECT_EQ(count_of(err, "\n"), GetParam().iterations);
    EXPECT_EQ(count_of(err, std::string(NO_ENTRY_FOUND_FOR_KEY) + "\n"), GetParam().iterations);
}

INSTANTIATE_TEST_SUITE_P(Shapes, EveryIteration,
                         testing::Values(BatchShape{"1", 1}, BatchShape{"1", 1000}, BatchShape{"2", 2},
                                         BatchShape{"2", 20011}, BatchShape{"3", 999}, BatchShape{"8", 5},
                                         BatchShape{"8", 65537}),
                         [](const testing::TestParamInfo<BatchShape>& test) {
                             return std::string("Workers") + test.param.workers + "Iterations" +
                                    std::to_string(test.param.iterations);
                         });

TEST(RunSimulations, RecordsThatCannotBoardGiveZeroWithoutThrowing) {
    const std::string more_passengers = stderr_of([] { EXPECT_EQ(run_simulations(plane(5, 3), 10), 0.0); });
    EXPECT_EQ(count_of(more_passengers, "\n"), 10u);
    EXPECT_EQ(count_of(more_passengers, std::string(SEAT_ON_A_PLANE) + "\n"), 10u);

    Planes no_columns = plane(3, 3);
    no_columns.cols.clear();
    EXPECT_EQ(count_of(stderr_of([&no_columns] { EXPECT_EQ(run_simulations(no_columns, 10), 0.0); }), "\n"), 10u);
}

// P(X >= x) for X chi-square distributed with an even number of degrees of freedom:
// exp(-x/2) * sum over j < dof/2 of (x/2)^j / j!.
double chi_square_tail(double x, std::uint32_t dof) {
    double term = std::exp(-x / 2);
    double sum = 0;
    for (std::uint32_t j = 0; j < dof / 2; ++j) {
        sum += term;
        term *= x / 2 / (j + 1);
    }
    return sum;
}

// Many small batches at 2, 3, 10 and 100 passengers (a plane with as many seats: the last
// passenger sits right with probability exactly 1/2): each batch's count of true boardings
// against the exact binomial distribution (chi-square over the counts' classes, the tails
// pooled), and the total against its mean. A biased draw, lanes that repeat words or follow one
// another, or boardings lost or run twice each move one of the two. Eight checks with a false
// alarm below 1.25e-7 each: below 1e-6 for the test.
TEST(RunSimulations, CountsFollowTheExactBinomialDistribution) {
    constexpr std::uint32_t CALLS = 3000;
    constexpr std::uint32_t BOARDINGS = 64;
    constexpr double FALSE_ALARM = 1.25e-7;
    // Classes 22 .. 42 and the two tails: 23 classes, 22 degrees of freedom, each class
    // expecting at least ten calls.
    constexpr std::uint32_t LOW = 22;
    constexpr std::uint32_t HIGH = 42;
    std::vector<double> expected(HIGH - LOW + 3, 0.0);
    double pmf = std::ldexp(1.0, -static_cast<int>(BOARDINGS));
    for (std::uint32_t k = 0; k <= BOARDINGS; ++k) {
        expected[k < LOW ? 0 : k > HIGH ? expected.size() - 1 : k - LOW + 1] += pmf * CALLS;
        pmf = pmf * (BOARDINGS - k) / (k + 1);
    }
    for (const std::uint64_t passengers : {2u, 3u, 10u, 100u}) {
        std::vector<std::uint32_t> observed(expected.size(), 0);
        std::uint64_t total = 0;
        for (std::uint32_t call = 0; call < CALLS; ++call) {
            const double fraction = run_simulations(plane(passengers, passengers), BOARDINGS);
            const auto count = static_cast<std::uint32_t>(std::lround(fraction * BOARDINGS));
            ++observed[count < LOW ? 0 : count > HIGH ? observed.size() - 1 : count - LOW + 1];
            total += count;
        }
        double chi_square = 0;
        for (std::size_t i = 0; i < expected.size(); ++i) {
            chi_square += (observed[i] - expected[i]) * (observed[i] - expected[i]) / expected[i];
        }
        EXPECT_GT(chi_square_tail(chi_square, static_cast<std::uint32_t>(expected.size() - 1)), FALSE_ALARM)
            << passengers << " passengers: chi-square " << chi_square;
        // |z| > 5.29 has probability 1.2e-7 under the normal approximation of 192,000 boardings.
        const double boardings = double{CALLS} * BOARDINGS;
        const double z = (static_cast<double>(total) - boardings / 2) / std::sqrt(boardings / 4);
        EXPECT_LT(std::abs(z), 5.29) << passengers << " passengers: " << total << " of " << boardings;
    }
}

TEST(RunSimulations, LeavesNoThreadBehind) {
    TAVRIN_SKIP_WHEN_THREADS_UNCOUNTABLE();
    const std::size_t before = thread_count_of_process();
    const WorkerThreadsVariable workers("4");
    run_simulations(plane(10, 10), 1000);
    EXPECT_EQ(thread_count_of_process(), before);
    stderr_of([] { run_simulations(plane(0, 0), 100); });
    EXPECT_EQ(thread_count_of_process(), before);
}

TEST(RunSimulations, FailsWhenThePoolCannotBeMadeEvenForAnEmptyBatch) {
    const WorkerThreadsVariable zero("0");
    for (const std::uint64_t iterations : {std::uint64_t{0}, std::uint64_t{10}}) {
        std::string message;
        stderr_of([&message, iterations] {
            message = failure_of([iterations] { run_simulations(plane(10, 10), iterations); });
        });
        EXPECT_EQ(message.rfind(std::string(RUNTIME_CREATION_FAILED) + ": ", 0), 0u) << message;
    }
}

}  // namespace
}  // namespace tavrin
