// Observing failures in tests: the message a call fails with, and the reports it writes to
// standard error, as values to compare.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <string_view>

#include "fatal.hpp"

namespace tavrin::testing_support {

// The message of the fatal error that `call` raises, or a note that there was none.
template <typename Call>
std::string failure_of(Call&& call) {
    try {
        call();
    } catch (const FatalError& error) {
        return error.message().value_or("(no message)");
    }
    return "(no failure)";
}

// What `call` writes to standard error (also when it throws, which goes on to the caller).
template <typename Call>
std::string stderr_of(Call&& call) {
    testing::internal::CaptureStderr();
    try {
        call();
    } catch (...) {
        testing::internal::GetCapturedStderr();
        throw;
    }
    return testing::internal::GetCapturedStderr();
}

// How often `needle` stands in `text`, overlaps included.
inline std::size_t count_of(std::string_view text, std::string_view needle) {
    std::size_t count = 0;
    for (std::size_t at = text.find(needle); at != std::string_view::npos; at = text.find(needle, at + 1)) {
        ++count;
    }
    return count;
}

}  // namespace tavrin::testing_support
