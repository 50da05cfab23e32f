// The worker pool of one batch: a fixed set of threads, all started by the constructor and all
// joined by the destructor, that run queued tasks. A task that throws is reported on standard
// error and counted; it never ends its worker. The thread that waits sleeps on a condition
// variable and never runs tasks itself.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <source_location>
#include <string_view>
#include <thread>
#include <vector>

namespace tavrin {

// Every failure to set up the pool starts with this text, then ": " and the reason.
inline constexpr std::string_view RUNTIME_CREATION_FAILED = "Failed to create Tokio runtime";

// Overrides the worker count when set; it must hold a whole decimal number from 1 to
// MAX_WORKER_THREADS.
inline constexpr const char* WORKER_THREADS_VARIABLE = "TAVRIN_PUZZLES_WORKER_THREADS";
inline constexpr std::uint32_t MAX_WORKER_THREADS = 1024;
inline constexpr std::string_view BAD_WORKER_THREADS = "is not a whole number from 1 to 1024";

// Processors this process may run on (sched_getaffinity); 1 when that cannot be learnt.
std::uint32_t available_processors() noexcept;

// The value of WORKER_THREADS_VARIABLE when it is set, otherwise available_processors().
// Fails with RUNTIME_CREATION_FAILED when the variable holds no whole number from 1 to
// MAX_WORKER_THREADS.
std::uint32_t configured_worker_count();

// Call only from inside a catch block. Writes a one-line report of the exception being handled
// to standard error, except for a FatalError, whose report fail() has already written.
void report_caught_failure(std::source_location where = std::source_location::current()) noexcept;

class WorkerPool {
public:
    using Task = std::function<void()>;

    // Starts max(thread_count, 1) threads and returns once each has its thread-local storage
    // (prepare_thread_storage), so no task can use up the memory it needs. When one cannot be
    // started, those already running are stopped and joined, then it fails with
    // RUNTIME_CREATION_FAILED and the system's reason.
    explicit WorkerPool(std::uint32_t thread_count = configured_worker_count());
    // Tasks still queued are dropped; running ones finish; then every thread is joined.
    ~WorkerPool();

    WorkerPool(const WorkerPool&) = delete;
    WorkerPool(WorkerPool&&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;
    WorkerPool& operator=(WorkerPool&&) = delete;

    [[nodiscard]] std::uint32_t size() const noexcept { return static_cast<std::uint32_t>(threads_.size()); }

    // Queues a task; a worker may start it before submit returns.
    void submit(Task task);

    // Sleeps until every submitted task has ended. What the tasks wrote before ending is
    // visible to the caller afterwards.
    void wait();

    // Tasks that ended by throwing, since the pool was made. Read it after wait().
    [[nodiscard]] std::uint64_t failed_tasks() const;

private:
    void work();
    void stop_and_join() noexcept;

    mutable std::mutex mutex_;
    std::condition_variable task_available_;
    std::condition_variable all_done_;
    std::condition_variable thread_ready_;
    std::deque<Task> queue_;
    std::uint64_t running_ = 0;
    std::uint64_t failed_ = 0;
    std::uint32_t ready_ = 0;
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

}  // namespace tavrin
