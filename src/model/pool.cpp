// Worker count, failure reports of tasks, and the worker pool itself. One mutex guards the
// queue and the counters; workers and the waiting thread sleep on their own condition
// variables, so nobody spins. Every thread the constructor started is joined on every path.
#include "pool.hpp"

#include <pthread.h>
#include <sched.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <system_error>

#include "fatal.hpp"
#include "rng.hpp"

namespace tavrin {

namespace {

// At most 15 characters: the kernel keeps 16 bytes for a thread's name.
constexpr const char* WORKER_THREAD_NAME = "tavrin-worker";
constexpr const char* TASK_FAILED = "tavrin_puzzles: task failed";
constexpr const char* UNKNOWN_FAILURE = "exception of unknown type";
// sched_getaffinity refuses a set smaller than the kernel's mask; past this size give up.
constexpr int MAX_CPU_SET_SIZE = 1 << 16;

[[noreturn]] void fail_creation(const std::string& reason) {
    std::string message(RUNTIME_CREATION_FAILED);
    message += ": ";
    message += reason;
    fail(std::move(message));
}

// The variable's value as it goes into a message: printable ASCII as is, every other byte as
// \xNN, so that a message always stays valid UTF-8 whatever the environment holds.
std::string quoted(std::string_view value) {
    std::string out = "\"";
    for (const char c : value) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7F && c != '"' && c != '\\') {
            out += c;
        } else {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", static_cast<unsigned>(byte));
            out += escaped;
        }
    }
    out += '"';
    return out;
}

}  // namespace

std::uint32_t available_processors() noexcept {
    for (int cpus = CPU_SETSIZE; cpus <= MAX_CPU_SET_SIZE; cpus *= 2) {
        cpu_set_t* set = CPU_ALLOC(cpus);
        if (set == nullptr) {
            return 1;
        }
        const std::size_t bytes = CPU_ALLOC_SIZE(cpus);
        CPU_ZERO_S(bytes, set);
        const int status = sched_getaffinity(0, bytes, set);
        const int error = errno;
        const int count = status == 0 ? CPU_COUNT_S(bytes, set) : 0;
        CPU_FREE(set);
        if (status == 0) {
            return count > 0 ? static_cast<std::uint32_t>(count) : 1;
        }
        if (error != EINVAL) {
            return 1;
        }
    }
    return 1;
}

std::uint32_t configured_worker_count() {
    const char* value = std::getenv(WORKER_THREADS_VARIABLE);
    if (value == nullptr) {
        return available_processors();
    }
    const std::string_view text(value);
    std::uint32_t count = 0;
    // from_chars takes digits only: no sign, no blanks, and refuses values above 2^32 - 1.
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), count);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || count == 0 ||
        count > MAX_WORKER_THREADS) {
        fail_creation(std::string(WORKER_THREADS_VARIABLE) + '=' + quoted(text) + ' ' +
                      std::string(BAD_WORKER_THREADS));
    }
    return count;
}

void report_caught_failure(std::source_location where) noexcept {
    try {
        try {
            throw;
        } catch (const FatalError&) {
            // fail() wrote the report when it threw.
        } catch (const std::exception& error) {
            write_report(TASK_FAILED, error.what(), where);
        } catch (...) {
            write_report(TASK_FAILED, UNKNOWN_FAILURE, where);
        }
    } catch (...) {
        // Not even the report could be made (no memory): the failure is still counted.
    }
}

WorkerPool::WorkerPool(std::uint32_t thread_count) {
    const std::uint32_t wanted = thread_count == 0 ? 1 : thread_count;
    try {
        for (std::uint32_t i = 0; i < wanted; ++i) {
            threads_.emplace_back([this] { work(); });
        }
    } catch (const std::system_error& error) {
        stop_and_join();
        fail_creation(error.code().message());
    } catch (...) {
        stop_and_join();
        throw;
    }
    std::unique_lock lock(mutex_);
    thread_ready_.wait(lock, [this, wanted] { return ready_ == wanted; });
}

WorkerPool::~WorkerPool() { stop_and_join(); }

void WorkerPool::submit(Task task) {
    {
        const std::lock_guard lock(mutex_);
        queue_.push_back(std::move(task));
    }
    task_available_.notify_one();
}

void WorkerPool::wait() {
    std::unique_lock lock(mutex_);
    all_done_.wait(lock, [this] { return queue_.empty() && running_ == 0; });
}

std::uint64_t WorkerPool::failed_tasks() const {
    const std::lock_guard lock(mutex_);
    return failed_;
}

void WorkerPool::work() {
    // Names the thread in failure reports; a refusal only costs the name.
    pthread_setname_np(pthread_self(), WORKER_THREAD_NAME);
    prepare_thread_storage();
    std::unique_lock lock(mutex_);
    ++ready_;
    thread_ready_.notify_one();
    for (;;) {
        task_available_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
        if (stopping_) {
            return;
        }
        Task task = std::move(queue_.front());
        queue_.pop_front();
        ++running_;
        lock.unlock();

        bool failed = false;
        try {
            task();
        } catch (...) {
            report_caught_failure();
            failed = true;
        }
        // What the task holds (a snapshot reference) goes back before it counts as ended.
        task = nullptr;

        lock.lock();
        --running_;
        if (failed) {
            ++failed_;
        }
        if (running_ == 0 && queue_.empty()) {
            all_done_.notify_all();
        }
    }
}

void WorkerPool::stop_and_join() noexcept {
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    task_available_.notify_all();
    for (std::thread& thread : threads_) {
        if (thread.joinable()) {
            thread.join();
        }
    }
}

}  // namespace tavrin
