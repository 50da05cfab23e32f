// Worker count, failure reports of workers, and the starting and joining of the threads. The
// workers wait at a gate, sleeping on a condition variable, until all have started; the
// calling thread sleeps in join. Every thread started is joined on every path. The threads are
// POSIX threads rather than std::thread, which cannot be given a stack size.
#include "pool.hpp"

#include <pthread.h>
#include <sched.h>

#include <cerrno>
#include <charconv>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <string>
#include <system_error>
#include <vector>

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

WorkerPoolError creation_failure(const std::string& reason) {
    std::string message(RUNTIME_CREATION_FAILED);
    message += ": ";
    message += reason;
    return WorkerPoolError(message);
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

// Holds every worker back until all of them have arrived, or lets them go without work
// when the start is called off.
class StartingGate {
public:
    explicit StartingGate(std::uint32_t workers) noexcept : still_to_arrive_(workers) {}

    // From a worker that is ready: sleeps until the last one arrives, which opens the gate.
    // False when the start was called off.
    bool pass() {
        std::unique_lock lock(mutex_);
        if (--still_to_arrive_ == 0) {
            changed_.notify_all();
        }
        changed_.wait(lock, [this] { return still_to_arrive_ == 0 || called_off_; });
        return !called_off_;
    }

    void call_off() noexcept {
        {
            const std::lock_guard lock(mutex_);
            called_off_ = true;
        }
        changed_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::uint32_t still_to_arrive_;
    bool called_off_ = false;
};

// Attributes for the worker threads: the stack size set, or the call failed.
class WorkerAttributes {
public:
    explicit WorkerAttributes(std::size_t stack_bytes) {
        if (const int error = pthread_attr_init(&attributes_); error != 0) {
            throw creation_failure(std::system_category().message(error));
        }
        if (const int error = pthread_attr_setstacksize(&attributes_, stack_bytes); error != 0) {
            pthread_attr_destroy(&attributes_);
            throw creation_failure("cannot give a thread a stack of " + std::to_string(stack_bytes) +
                                   " bytes: " + std::system_category().message(error));
        }
    }
    ~WorkerAttributes() { pthread_attr_destroy(&attributes_); }
    WorkerAttributes(const WorkerAttributes&) = delete;
    WorkerAttributes& operator=(const WorkerAttributes&) = delete;

    const pthread_attr_t* get() const noexcept { return &attributes_; }

private:
    pthread_attr_t attributes_;
};

// What one worker thread is handed: where it starts, and its index.
struct WorkerStart {
    StartingGate* gate;
    pool_detail::WorkerEntry entry;
    const void* work;
    std::uint32_t index;
};

void* run_worker(void* argument) noexcept {
    const WorkerStart& start = *static_cast<const WorkerStart*>(argument);
    // Names the thread in failure reports; a refusal only costs the name.
    pthread_setname_np(pthread_self(), WORKER_THREAD_NAME);
    prepare_thread_storage();
    if (start.gate->pass()) {
        start.entry(start.work, start.index);
    }
    return nullptr;
}

// The threads started so far, each joined when this goes.
struct JoinedThreads {
    std::vector<pthread_t> started;
    ~JoinedThreads() {
        for (const pthread_t thread : started) {
            pthread_join(thread, nullptr);
        }
    }
};

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
    try {
        return configured_worker_count_quietly();
    } catch (const WorkerPoolError& error) {
        fail(error.what());
    }
}

std::uint32_t configured_worker_count_quietly() {
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
        throw creation_failure(std::string(WORKER_THREADS_VARIABLE) + '=' + quoted(text) + ' ' +
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

namespace pool_detail {

void run_on_workers(std::uint32_t workers, WorkerEntry entry, const void* work, bool report,
                    std::size_t stack_bytes) {
    try {
        const WorkerAttributes attributes(stack_bytes);
        StartingGate gate(workers);
        // Each thread reads its start until it ends: the vector is sized once and outlives them.
        std::vector<WorkerStart> starts;
        starts.reserve(workers);
        // Declared after the gate and the starts: the threads are joined before those go, on
        // every path.
        JoinedThreads threads;
        threads.started.reserve(workers);
        try {
            for (std::uint32_t i = 0; i < workers; ++i) {
                WorkerStart& start = starts.emplace_back(WorkerStart{&gate, entry, work, i});
                pthread_t thread;
                if (const int error = pthread_create(&thread, attributes.get(), &run_worker, &start); error != 0) {
                    throw creation_failure(std::system_category().message(error));
                }
                threads.started.push_back(thread);
            }
        } catch (...) {
            gate.call_off();
            throw;
        }
    } catch (const WorkerPoolError& failure) {
        if (report) {
            fail(failure.what());
        }
        throw;
    }
}

}  // namespace pool_detail

}  // namespace tavrin
