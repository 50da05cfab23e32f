// The fatal error of a call: it abandons the call, everything the call holds is released
// while the exception unwinds, and the binding turns it into PanicException. A report naming
// the thread, the source position and the message is written to standard error at the
// moment of the failure, before anybody catches it.
#pragma once

#include <exception>
#include <optional>
#include <source_location>
#include <string>

namespace tavrin {

class FatalError : public std::exception {
public:
    FatalError(std::optional<std::string> message, std::source_location where);

    const char* what() const noexcept override;
    // Empty when the failure carried no text of its own.
    const std::optional<std::string>& message() const noexcept { return message_; }
    const std::source_location& where() const noexcept { return where_; }

private:
    std::optional<std::string> message_;
    std::source_location where_;
};

// Writes the report to standard error, then throws FatalError.
[[noreturn]] void fail(std::string message,
                       std::source_location where = std::source_location::current());

// Writes "<prefix> on thread '<name>' at <file>:<line>: <message>" to standard error in one
// write, so reports of concurrent threads do not interleave.
void write_report(const char* prefix, const std::string& message, const std::source_location& where);

}  // namespace tavrin
