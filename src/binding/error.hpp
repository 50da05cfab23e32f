// Failures on their way to becoming Python exceptions. A PendingError is either lazy (an
// exception type and the recipe for its message; the interpreter's object is made only at
// the hand-over) or normalised (type, value and traceback as the interpreter gave them).
// Functions that can fail return Result<T>; only the call guard hands errors over.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "ref.hpp"

namespace tavrin::binding {

inline constexpr const char* NO_EXCEPTION_SET = "attempted to fetch exception but none was set";
inline constexpr const char* NOT_AN_EXCEPTION_CLASS = "exceptions must derive from BaseException";
inline constexpr const char* API_CALL_FAILED = "Python API call failed";

class PendingError {
public:
    // A lazy error: `type` (borrowed here, kept alive by the error) with `message` as its one argument.
    [[nodiscard]] static PendingError lazy(PyObject* type, std::string message);
    // A lazy TypeError "'<qualname of type(object)>' object cannot be converted to '<target>'".
    [[nodiscard]] static PendingError type_mismatch(PyObject* object, const char* target);
    // Takes the interpreter's error indicator; a SystemError when nothing was set.
    [[nodiscard]] static PendingError fetch();

    // The exception type, known without building the exception. Borrowed.
    [[nodiscard]] PyObject* type() const noexcept;
    // The exception object and traceback, building them first if the error is lazy.
    [[nodiscard]] PyObject* value();
    // The text that str() of the exception gives.
    [[nodiscard]] std::string text();
    // Attaches `cause` (a new reference, may be empty) as __cause__ at the hand-over.
    void set_cause(Ref cause) noexcept { cause_ = std::move(cause); }
    [[nodiscard]] Ref take_cause();

    // Makes this error the interpreter's error indicator, as a normalised exception.
    void restore() &&;

private:
    struct Lazy {
        Ref type;
        std::string message;
        // Set for a type mismatch: the message is made from this type's __qualname__.
        Ref mismatched_type;
        const char* target = nullptr;
    };
    struct Normalised {
        Ref type;
        Ref value;
        Ref traceback;
    };

    explicit PendingError(Lazy lazy) : state_(std::move(lazy)) {}
    explicit PendingError(Normalised normalised) : state_(std::move(normalised)) {}
    Normalised& normalise();

    std::variant<Lazy, Normalised> state_;
    Ref cause_;
};

// The value of a fallible operation, or the error that stopped it.
template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    Result(PendingError error) : state_(std::in_place_index<1>, std::move(error)) {}

    explicit operator bool() const noexcept { return state_.index() == 0; }
    T& value() { return std::get<0>(state_); }
    PendingError& error() { return std::get<1>(state_); }

private:
    std::variant<T, PendingError> state_;
};

template <>
class [[nodiscard]] Result<void> {
public:
    Result() = default;
    Result(PendingError error) : error_(std::move(error)) {}

    explicit operator bool() const noexcept { return !error_.has_value(); }
    PendingError& error() { return *error_; }

private:
    std::optional<PendingError> error_;
};

// A failed conversion of the argument `name`: an exact TypeError is replaced by a TypeError
// "argument '<name>': <text>" carrying the same cause; any other error passes unchanged.
[[nodiscard]] PendingError argument_error(PendingError error, const char* name);

// When the interpreter cannot make a result object: print its error and fail the call.
[[noreturn]] void api_call_failed();

// Creates the PanicException type on first need; aborts the process if it cannot.
[[nodiscard]] PyObject* panic_exception_type();

}  // namespace tavrin::binding
