// The worker threads: each worker's function runs once, only after every thread has started,
// and has ended when run_on_workers returns; a thread that cannot be started fails the call
// after the others were joined without running; every thread has the stack size set, whatever
// the C library's default, and a size the system refuses fails the call before any thread
// starts; reports of caught failures name the worker;
// the worker count follows the affinity mask or the override variable, whose bad values fail.
#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "failures.hpp"
#include "fatal.hpp"
#include "pool.hpp"
#include "process_state.hpp"

namespace tavrin {
namespace {

using namespace testing_support;

TEST(RunOnWorkers, CallsEachWorkerOnceAndReturnsWhenAllHaveEnded) {
    constexpr std::uint32_t WORKERS = 64;
    // Plain values: each worker writes its own, the caller reads them after the return.
    std::vector<std::uint32_t> calls(WORKERS, 0);
    run_on_workers(WORKERS, [&calls](std::uint32_t worker) noexcept {
        if (worker == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        ++calls[worker];
    });
    EXPECT_EQ(calls, std::vector<std::uint32_t>(WORKERS, 1));
}

TEST(RunOnWorkers, StartsEveryThreadBeforeAnyWorkAndJoinsThemAll) {
    TAVRIN_SKIP_WHEN_THREADS_UNCOUNTABLE();
    const std::size_t before = thread_count_of_process();
    constexpr std::uint32_t WORKERS = 5;
    std::vector<std::size_t> seen(WORKERS, 0);
    std::atomic<std::uint32_t> counted{0};
    run_on_workers(WORKERS, [&seen, &counted](std::uint32_t worker) noexcept {
        seen[worker] = thread_count_of_process();
        // No thread ends before all have counted.
        counted.fetch_add(1);
        while (counted.load() < WORKERS) {
            std::this_thread::yield();
        }
    });
    EXPECT_EQ(seen, std::vector<std::size_t>(WORKERS, before + WORKERS));
    EXPECT_EQ(thread_count_of_process(), before);
}

// Runs in a child process: with room for a handful of thread stacks only, asks for far more
// threads. Exits 0 when the call failed by name, no worker's function ran and no thread was
// left behind.
[[noreturn]] void start_more_threads_than_fit() {
    testing_support::cap_address_space(std::uint64_t{48} << 20);
    const std::size_t before = thread_count_of_process();
    std::atomic<std::uint32_t> calls{0};
    const std::string message = failure_of([&calls] {
        run_on_workers(100000, [&calls](std::uint32_t) noexcept { calls.fetch_add(1); });
    });
    const std::string expected = std::string(RUNTIME_CREATION_FAILED) + ": ";
    const bool named = message.rfind(expected, 0) == 0 && message.size() > expected.size();
    std::_Exit(named && calls.load() == 0 && thread_count_of_process() == before ? 0 : 3);
}

TEST(RunOnWorkers, AThreadThatCannotBeStartedFailsTheCallAfterJoiningTheOthers) {
    TAVRIN_SKIP_WHEN_ADDRESS_SPACE_UNCAPPABLE();
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(start_more_threads_than_fit(), testing::ExitedWithCode(0),
                "Failed to create Tokio runtime: Resource temporarily unavailable");
}

TEST(RunOnWorkers, GivesEveryThreadTheStackSizeSet) {
    constexpr std::uint32_t WORKERS = 3;
    std::vector<std::size_t> sizes(WORKERS, 0);
    run_on_workers(WORKERS, [&sizes](std::uint32_t worker) noexcept {
        pthread_attr_t attributes;
        if (pthread_getattr_np(pthread_self(), &attributes) == 0) {
            pthread_attr_getstacksize(&attributes, &sizes[worker]);
            pthread_attr_destroy(&attributes);
        }
    });
    // The C library may round the size up to whole pages; ThreadSanitizer adds room of its own.
    for (const std::size_t size : sizes) {
        EXPECT_GE(size, WORKER_STACK_BYTES);
#ifndef __SANITIZE_THREAD__
        EXPECT_LT(size, WORKER_STACK_BYTES + 65536);
#endif
    }
}

std::atomic<std::uint32_t> calls_with_refused_stack{0};

TEST(RunOnWorkers, AStackSizeTheSystemRefusesFailsTheCallBeforeAnyThreadStarts) {
    TAVRIN_SKIP_WHEN_THREADS_UNCOUNTABLE();
    const std::size_t before = thread_count_of_process();
    std::string message;
    const std::string err = stderr_of([&message] {
        message = failure_of([] {
            pool_detail::run_on_workers(
                2, [](const void*, std::uint32_t) noexcept { calls_with_refused_stack.fetch_add(1); }, nullptr, true, 1);
        });
    });
    EXPECT_EQ(message, std::string(RUNTIME_CREATION_FAILED) + ": cannot give a thread a stack of 1 bytes: Invalid argument");
    EXPECT_EQ(count_of(err, message), 1u) << err;
    EXPECT_EQ(calls_with_refused_stack.load(), 0u);
    EXPECT_EQ(thread_count_of_process(), before);
}

TEST(ReportCaughtFailure, WritesOneLineNamingTheWorkerAndNoneForAFatalError) {
    constexpr std::uint32_t WORKERS = 3;
    const std::string err = stderr_of([] {
        run_on_workers(WORKERS, [](std::uint32_t worker) noexcept {
            for (int kind = 0; kind < 3; ++kind) {
                try {
                    switch (kind) {
                        case 0: fail("boarding went wrong " + std::to_string(worker));
                        case 1: throw std::runtime_error("runtime trouble");
                        default: throw 42;
                    }
                } catch (...) {
                    report_caught_failure();
                }
            }
        });
    });
    // fail() reports its own error once; report_caught_failure adds no second line for it.
    EXPECT_EQ(count_of(err, "boarding went wrong"), WORKERS);
    EXPECT_EQ(count_of(err, "runtime trouble"), WORKERS);
    EXPECT_EQ(count_of(err, "exception of unknown type"), WORKERS);
    EXPECT_EQ(count_of(err, "\n"), 3 * WORKERS);
    EXPECT_EQ(count_of(err, "on thread 'tavrin-worker'"), 3 * WORKERS);
}

TEST(WorkerCount, FollowsTheAffinityMaskWhenTheVariableIsUnset) {
    const WorkerThreadsVariable unset(nullptr);
    cpu_set_t original;
    ASSERT_EQ(::sched_getaffinity(0, sizeof original, &original), 0);
    EXPECT_EQ(available_processors(), static_cast<std::uint32_t>(CPU_COUNT(&original)));
    EXPECT_EQ(configured_worker_count(), available_processors());

    // Narrowed to one processor, the count follows the mask, not the machine.
    int first = 0;
    while (!CPU_ISSET(first, &original)) {
        ++first;
    }
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(first, &one);
    ASSERT_EQ(::sched_setaffinity(0, sizeof one, &one), 0);
    const std::uint32_t narrowed = configured_worker_count();
    ASSERT_EQ(::sched_setaffinity(0, sizeof original, &original), 0);
    EXPECT_EQ(narrowed, 1u);
}

TEST(WorkerCount, TakesAWholeNumberFromTheVariable) {
    const struct {
        const char* value;
        std::uint32_t count;
    } cases[] = {{"3", 3}, {"007", 7}, {"1024", MAX_WORKER_THREADS}};
    for (const auto& c : cases) {
        const WorkerThreadsVariable variable(c.value);
        EXPECT_EQ(configured_worker_count(), c.count) << c.value;
    }
}

struct BadWorkerThreadsValue {
    const char* name;
    const char* value;
    const char* quoted;  // as the message shows it
};

class BadWorkerThreads : public testing::TestWithParam<BadWorkerThreadsValue> {};

TEST_P(BadWorkerThreads, FailsNamingTheVariableAndTheValue) {
    const BadWorkerThreadsValue& bad = GetParam();
    const WorkerThreadsVariable variable(bad.value);
    std::string message;
    const std::string err = stderr_of([&message] { message = failure_of([] { configured_worker_count(); }); });
    EXPECT_EQ(message, std::string(RUNTIME_CREATION_FAILED) + ": " + WORKER_THREADS_VARIABLE + "=" + bad.quoted +
                           " " + std::string(BAD_WORKER_THREADS));
    EXPECT_EQ(count_of(err, message), 1u) << err;
}

INSTANTIATE_TEST_SUITE_P(
    Values, BadWorkerThreads,
    testing::Values(BadWorkerThreadsValue{"Zero", "0", "\"0\""}, BadWorkerThreadsValue{"ZeroPadded", "000", "\"000\""},
                    BadWorkerThreadsValue{"Letters", "abc", "\"abc\""}, BadWorkerThreadsValue{"TrailingLetter", "3x", "\"3x\""},
                    BadWorkerThreadsValue{"Negative", "-2", "\"-2\""}, BadWorkerThreadsValue{"PlusSign", "+3", "\"+3\""},
                    BadWorkerThreadsValue{"LeadingBlank", " 3", "\" 3\""}, BadWorkerThreadsValue{"Empty", "", "\"\""},
                    BadWorkerThreadsValue{"Fraction", "2.5", "\"2.5\""},
                    BadWorkerThreadsValue{"AboveMaximum", "1025", "\"1025\""},
                    BadWorkerThreadsValue{"Above32Bits", "4294967296", "\"4294967296\""},
                    BadWorkerThreadsValue{"Huge", "99999999999999999999999", "\"99999999999999999999999\""},
                    // Bytes that are not printable ASCII are escaped, keeping the message UTF-8.
                    BadWorkerThreadsValue{"NotText", "4\xff\"\n", "\"4\\xFF\\x22\\x0A\""}),
    [](const testing::TestParamInfo<BadWorkerThreadsValue>& test) { return std::string(test.param.name); });

}  // namespace
}  // namespace tavrin
