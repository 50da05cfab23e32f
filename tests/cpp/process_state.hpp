// Helpers for tests that look at process-wide state: the threads of the process, its address
// space and the variable that overrides the worker count. Tests using them must not run
// concurrently.
#pragma once

#include <cstdlib>
#include <filesystem>
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
