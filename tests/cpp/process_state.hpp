// Helpers for tests that look at process-wide state: the threads of the process, its address
// space and the variable that overrides the worker count. Tests using them must not run
// concurrently.
#pragma once

#include <sys/resource.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "pool.hpp"

// ThreadSanitizer runs a thread of its own, started with the program's first thread.
#if defined(__SANITIZE_THREAD__)
#define TAVRIN_SKIP_WHEN_THREADS_UNCOUNTABLE() GTEST_SKIP() << "ThreadSanitizer adds a thread of its own"
#else
#define TAVRIN_SKIP_WHEN_THREADS_UNCOUNTABLE() static_cast<void>(0)
#endif

// The sanitizers' shadow memory needs far more address space than any cap a test sets.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
#define TAVRIN_SKIP_WHEN_ADDRESS_SPACE_UNCAPPABLE() GTEST_SKIP() << "a sanitizer needs the address space"
#else
#define TAVRIN_SKIP_WHEN_ADDRESS_SPACE_UNCAPPABLE() static_cast<void>(0)
#endif

namespace tavrin::testing_support {

inline std::size_t thread_count_of_process() {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
        ++count;
    }
    return count;
}

// The size of the process's mappings now: the first field of /proc/self/statm, in pages.
inline std::uint64_t mapped_bytes() {
    std::uint64_t pages = 0;
    std::ifstream("/proc/self/statm") >> pages;
    return pages * static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
}

// Caps the address space `room` bytes above what is mapped now; false when that is refused.
// For the child process of a death test: nothing lifts the cap again.
inline bool cap_address_space(std::uint64_t room) {
    const auto cap = static_cast<rlim_t>(mapped_bytes() + room);
    const rlimit limit{cap, cap};
    return ::setrlimit(RLIMIT_AS, &limit) == 0;
}

// Sets (or, given nullptr, unsets) the worker-count variable and restores the old state after.
class WorkerThreadsVariable {
public:
    explicit WorkerThreadsVariable(const char* value) {
        if (const char* old = std::getenv(WORKER_THREADS_VARIABLE)) {
            old_ = old;
        }
        if (value == nullptr) {
            ::unsetenv(WORKER_THREADS_VARIABLE);
        } else {
            ::setenv(WORKER_THREADS_VARIABLE, value, 1);
        }
    }
    ~WorkerThreadsVariable() {
        if (old_) {
            ::setenv(WORKER_THREADS_VARIABLE, old_->c_str(), 1);
        } else {
            ::unsetenv(WORKER_THREADS_VARIABLE);
        }
    }
    WorkerThreadsVariable(const WorkerThreadsVariable&) = delete;
    WorkerThreadsVariable& operator=(const WorkerThreadsVariable&) = delete;

private:
    std::optional<std::string> old_;
};

}  // namespace tavrin::testing_support
