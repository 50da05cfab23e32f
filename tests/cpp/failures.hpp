// Observing fatal errors in tests: the message a call fails with, as a value to compare.
#pragma once

#include <string>

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

}  // namespace tavrin::testing_support
