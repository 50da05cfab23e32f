// Failure reports and the fatal error: the report line written to standard error in one
// write, with the name of the thread that failed, and fail(), which writes it and throws.
#include "fatal.hpp"

#include <pthread.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace tavrin {

namespace {

constexpr const char* NO_MESSAGE = "(no message)";

std::string current_thread_name() {
    char name[64] = {};
    if (pthread_getname_np(pthread_self(), name, sizeof name) != 0 || name[0] == '\0') {
        return "<unnamed>";
    }
    return name;
}

}  // namespace

FatalError::FatalError(std::optional<std::string> message, std::source_location where)
    : message_(std::move(message)), where_(where) {}

const char* FatalError::what() const noexcept {
    return message_ ? message_->c_str() : NO_MESSAGE;
}

void write_report(const char* prefix, const std::string& message, const std::source_location& where) {
    std::string line = prefix;
    line += " on thread '";
    line += current_thread_name();
    line += "' at ";
    line += where.file_name();
    line += ':';
    line += std::to_string(where.line());
    line += ": ";
    line += message;
    line += '\n';
    // One write call: reports from several worker threads stay whole lines.
    std::fflush(stderr);
    const char* data = line.data();
    std::size_t left = line.size();
    while (left > 0) {
        ssize_t written = ::write(STDERR_FILENO, data, left);
        if (written <= 0) {
            break;
        }
        data += written;
        left -= static_cast<std::size_t>(written);
    }
}

void fail(std::string message, std::source_location where) {
    write_report("tavrin_puzzles: fatal error", message, where);
    throw FatalError(std::move(message), where);
}

}  // namespace tavrin
