// The worker pool: every task runs once, failures stay inside their task, the caller sleeps
// until the work is done, every thread is gone after destruction, and the worker count follows
// the affinity mask or the override variable, whose bad values fail the creation.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "fatal.hpp"
#include "pool.hpp"
#include "process_state.hpp"

namespace tavrin {
namespace {

using testing_support::thread_count_of_process;
using testing_support::WorkerThreadsVariable;

std::string bad_value_message(const std::string& quoted) {
    return std::string(RUNTIME_CREATION_FAILED) + ": " + WORKER_THREADS_VARIABLE + "=" + quoted + " " +
           std::string(BAD_WORKER_THREADS);
}

TEST(WorkerPool, RunsEverySubmittedTaskExactlyOnce) {
    constexpr std::size_t TASKS = 20000;
    std::vector<std::atomic<std::uint32_t>> runs(TASKS);
    WorkerPool pool(4);
    ASSERT_EQ(pool.size(), 4u);
    // Two rounds: the pool goes on serving after a wait.
    for (int round = 0; round < 2; ++round) {
        for (std::size_t i = 0; i < TASKS; ++i) {
            pool.submit([&runs, i] { runs[i].fetch_add(1, std::memory_order_relaxed); });
        }
        pool.wait();
        for (std::size_t i = 0; i < TASKS; ++i) {
            ASSERT_EQ(runs[i].load(), static_cast<std::uint32_t>(round + 1)) << "task " << i;
        }
    }
    EXPECT_EQ(pool.failed_tasks(), 0u);
}

TEST(WorkerPool, WaitReturnsOnlyAfterRunningTasksHaveEnded) {
    WorkerPool pool(2);
    bool slow_done = false;  // written by the worker, read after wait(): no atomic needed
    pool.submit([&slow_done] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        slow_done = true;
    });
    // By now the queue is likely empty while the task still runs.
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    pool.wait();
    EXPECT_TRUE(slow_done);
}

TEST(WorkerPool, AFailingTaskIsReportedAndCountedAndTheOthersRunOn) {
    std::atomic<std::uint32_t> finished{0};
    testing::internal::CaptureStderr();
    {
        // One worker: it must survive every failure to run the tasks after it.
        WorkerPool pool(1);
        for (int i = 0; i < 30; ++i) {
            pool.submit([i, &finished] {
                switch (i % 5) {
                    case 1: fail("boarding went wrong");
                    case 2: throw std::runtime_error("runtime trouble");
                    case 3: throw 42;
                    default: finished.fetch_add(1);
                }
            });
        }
        pool.wait();
        EXPECT_EQ(pool.failed_tasks(), 18u);
    }
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(finished.load(), 12u);

    auto lines_containing = [&err](const std::string& needle) {
        std::size_t count = 0;
        for (std::size_t at = err.find(needle); at != std::string::npos; at = err.find(needle, at + 1)) {
            ++count;
        }
        return count;
    };
    // fail() reports its own error once; the pool adds no second line for it.
    EXPECT_EQ(lines_containing("boarding went wrong"), 6u);
    EXPECT_EQ(lines_containing("runtime trouble"), 6u);
    EXPECT_EQ(lines_containing("exception of unknown type"), 6u);
    EXPECT_EQ(lines_containing("\n"), 18u);
    EXPECT_EQ(lines_containing("on thread 'tavrin-worker'"), 18u);
}

TEST(WorkerPool, StartsItsThreadsAtOnceAndJoinsThemAllWhenDestroyed) {
    TAVRIN_SKIP_WHEN_THREADS_UNCOUNTABLE();
    const std::size_t before = thread_count_of_process();
    {
        WorkerPool pool(5);
        EXPECT_EQ(thread_count_of_process(), before + 5);
    }
    EXPECT_EQ(thread_count_of_process(), before);
    {
        WorkerPool pool(0);
        EXPECT_EQ(pool.size(), 1u);
        EXPECT_EQ(thread_count_of_process(), before + 1);
    }
    EXPECT_EQ(thread_count_of_process(), before);
}

TEST(WorkerPool, DestructionLetsTheRunningTaskEndAndDropsTheQueuedOnes) {
    std::atomic<bool> release{false};
    std::atomic<bool> first_ended{false};
    std::atomic<std::uint32_t> queued_ran{0};
    std::atomic<bool> first_started{false};
    std::thread releaser;
    {
        WorkerPool pool(1);
        pool.submit([&] {
            first_started = true;
            while (!release) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            first_ended = true;
        });
        for (int i = 0; i < 10; ++i) {
            pool.submit([&queued_ran] { queued_ran.fetch_add(1); });
        }
        while (!first_started) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        // Long enough for the destructor below to have stopped the pool before the release.
        releaser = std::thread([&release] {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            release = true;
        });
    }
    releaser.join();
    EXPECT_TRUE(first_ended);
    EXPECT_EQ(queued_ran.load(), 0u);
}

// Runs in a child process: with room for a handful of thread stacks only, asks for far more
// threads. Exits 0 when the creation failed by name and no thread was left behind.
[[noreturn]] void start_more_threads_than_fit() {
    long pages = 0;
    std::ifstream("/proc/self/statm") >> pages;
    const auto in_use = static_cast<rlim_t>(pages) * static_cast<rlim_t>(::sysconf(_SC_PAGESIZE));
    const rlim_t room = in_use + (rlim_t{48} << 20);
    const rlimit limit{room, room};
    ::setrlimit(RLIMIT_AS, &limit);
    const std::size_t before = thread_count_of_process();
    try {
        const WorkerPool pool(100000);
    } catch (const FatalError& error) {
        const std::string expected = std::string(RUNTIME_CREATION_FAILED) + ": ";
        const bool named = error.message()->rfind(expected, 0) == 0 && error.message()->size() > expected.size();
        std::_Exit(named && thread_count_of_process() == before ? 0 : 3);
    }
    std::_Exit(2);
}

TEST(WorkerPool, AThreadThatCannotBeStartedFailsTheCreationAfterJoiningTheOthers) {
    TAVRIN_SKIP_WHEN_ADDRESS_SPACE_UNCAPPABLE();
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(start_more_threads_than_fit(), testing::ExitedWithCode(0),
                "Failed to create Tokio runtime: Resource temporarily unavailable");
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
    {
        const WorkerThreadsVariable three("3");
        EXPECT_EQ(configured_worker_count(), 3u);
        const WorkerPool pool;
        EXPECT_EQ(pool.size(), 3u);
    }
    {
        const WorkerThreadsVariable padded("007");
        EXPECT_EQ(configured_worker_count(), 7u);
    }
    {
        const WorkerThreadsVariable largest("1024");
        EXPECT_EQ(configured_worker_count(), MAX_WORKER_THREADS);
    }
}

struct BadWorkerThreadsValue {
    const char* name;
    const char* value;
    const char* quoted;  // as the message shows it
};

class BadWorkerThreads : public testing::TestWithParam<BadWorkerThreadsValue> {};

TEST_P(BadWorkerThreads, FailsTheCreationNamingTheVariableAndTheValue) {
    const BadWorkerThreadsValue& bad = GetParam();
    const WorkerThreadsVariable variable(bad.value);
    const std::size_t before = thread_count_of_process();
    testing::internal::CaptureStderr();
    std::optional<std::string> message;
    try {
        const WorkerPool pool;
    } catch (const FatalError& error) {
        message = error.message();
    }
    const std::string err = testing::internal::GetCapturedStderr();
    ASSERT_TRUE(message.has_value()) << "no failure for " << bad.quoted;
    EXPECT_EQ(*message, bad_value_message(bad.quoted));
    EXPECT_NE(err.find(*message), std::string::npos) << err;
    EXPECT_EQ(thread_count_of_process(), before);
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
