// The worker threads of one batch: how many there may be, the report a worker writes for a
// failure it caught, and run_on_workers, which starts a given number of threads together, runs
// one function on each and joins them all before it returns, on every path.
#pragma once

#include <cstddef>
#include <cstdint>
#include <source_location>
#include <stdexcept>
#include <string_view>
#include <type_traits>

namespace tavrin {

// Every failure to set up the workers starts with this text, then ": " and the reason.
inline constexpr std::string_view RUNTIME_CREATION_FAILED = "Failed to create Tokio runtime";

// Overrides the worker count when set; it must hold a whole decimal number from 1 to
// MAX_WORKER_THREADS.
inline constexpr const char* WORKER_THREADS_VARIABLE = "TAVRIN_PUZZLES_WORKER_THREADS";
inline constexpr std::uint32_t MAX_WORKER_THREADS = 1024;
inline constexpr std::string_view BAD_WORKER_THREADS = "is not a whole number from 1 to 1024";

// A failure to set up the workers, its message starting with RUNTIME_CREATION_FAILED. Thrown
// by the quiet forms below, which write no report; the others turn it into a fatal error.
class WorkerPoolError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The stack of every worker thread. Set rather than left to the C library, whose default
// differs (8 MiB or the stack limit on glibc, 128 KiB on musl). A worker's deepest path, a
// boarding and then the report of a failure it caught, needs less than a tenth of it; 1024
// such stacks still fit in the address space of a 32-bit process.
inline constexpr std::size_t WORKER_STACK_BYTES = std::size_t{256} << 10;

// Processors this process may run on (sched_getaffinity); 1 when that cannot be learnt.
std::uint32_t available_processors() noexcept;

// The value of WORKER_THREADS_VARIABLE when it is set, otherwise available_processors().
// Fails with RUNTIME_CREATION_FAILED when the variable holds no whole number from 1 to
// MAX_WORKER_THREADS.
std::uint32_t configured_worker_count();
// The same, failing with WorkerPoolError instead.
std::uint32_t configured_worker_count_quietly();

// Call only from inside a catch block. Writes a one-line report of the exception being handled
// to standard error, except for a FatalError, whose report fail() has already written.
void report_caught_failure(std::source_location where = std::source_location::current()) noexcept;

namespace pool_detail {
using WorkerEntry = void (*)(const void* work, std::uint32_t worker) noexcept;
// Throws WorkerPoolError; `report` makes that a fatal error instead. The threads get stacks of
// `stack_bytes`; a size the system refuses fails the call before any thread starts.
void run_on_workers(std::uint32_t workers, WorkerEntry entry, const void* work, bool report,
                    std::size_t stack_bytes = WORKER_STACK_BYTES);

template <typename Work>
void run_typed(std::uint32_t workers, const Work& work, bool report) {
    run_on_workers(
        workers,
        [](const void* erased, std::uint32_t worker) noexcept { (*static_cast<const Work*>(erased))(worker); },
        &work, report);
}
}  // namespace pool_detail

// Starts `workers` threads, each with a stack of WORKER_STACK_BYTES, and calls work(i) once on
// thread i, for i from 0 to workers - 1 (none for 0), and returns when every thread has ended:
// what the calls wrote is then visible to the caller. No call begins before every thread has started and made its thread-local
// storage (prepare_thread_storage), so no work can use up the memory a thread still needs.
// When a thread cannot be started, those already running are released without calling work
// and joined, and it fails with RUNTIME_CREATION_FAILED and the system's reason. `work` must
// catch its own failures: it is declared noexcept.
template <typename Work>
    requires std::is_nothrow_invocable_v<const Work&, std::uint32_t>
void run_on_workers(std::uint32_t workers, const Work& work) {
    pool_detail::run_typed(workers, work, true);
}

// run_on_workers failing with WorkerPoolError, which writes no report.
template <typename Work>
    requires std::is_nothrow_invocable_v<const Work&, std::uint32_t>
void run_on_workers_quietly(std::uint32_t workers, const Work& work) {
    pool_detail::run_typed(workers, work, false);
}

}  // namespace tavrin
