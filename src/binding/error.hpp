// Failures on their way to becoming Python exceptions. A PendingError is either lazy (an
// exception type and the recipe for its message; the interpreter's object is made only at
// the hand-over) or normalised (type, value and traceback as the interpreter gave them).
// It is thrown, and caught only by the call guard, which hands it to the interpreter; the
// require() checks below throw it after a C API call that failed. The fatal error of a call
// (tavrin::FatalError) is a separate type: it becomes PanicException.
#pragma once

#include <memory>
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
    // The exception object, building it first if the error is lazy.
    [[nodiscard]] PyObject* value();
    // The text that str() of the exception gives.
    [[nodiscard]] std::string text();
    // Attaches `cause` (a new reference, may be empty) as __cause__ at the hand-over.
    void set_cause(Ref cause) noexcept { state_->cause = std::move(cause); }
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

    struct State {
        std::variant<Lazy, Normalised> form;
        Ref cause;
    };

    explicit PendingError(std::variant<Lazy, Normalised> form);
    Normalised& normalise();

    // Shared because a thrown object must be copyable; copies are made (if ever) on the
    // thread that holds the interpreter lock, like everything that touches an error.
    std::shared_ptr<State> state_;
};

// When the interpreter cannot make a result object: print its error and fail the call.
[[noreturn]] void api_call_failed();

// A C API call's new reference, or its failure (a null result) thrown as the pending error.
[[nodiscard]] inline Ref require(PyObject* result) {
    if (result == nullptr) [[unlikely]] {
        throw PendingError::fetch();
    }
    return Ref::steal(result);
}

// A C API call's borrowed reference, or its failure (a null result) thrown.
[[nodiscard]] inline PyObject* require_borrowed(PyObject* result) {
    if (result == nullptr) [[unlikely]] {
        throw PendingError::fetch();
    }
    return result;
}

// A C API call's status: a negative one throws the pending error.
inline void require_status(int status) {
    if (status < 0) [[unlikely]] {
        throw PendingError::fetch();
    }
}

// For calls whose failure only the error indicator shows (PyIter_Next at the end, a -1 from
// PyLong_AsLong...): throws the pending error if there is one.
inline void require_no_error() {
    if (PyErr_Occurred() != nullptr) [[unlikely]] {
        throw PendingError::fetch();
    }
}

// A result object the entry returns or fills in: a failure to make it is fatal (api_call_failed).
[[nodiscard]] inline Ref require_result(PyObject* result) {
    if (result == nullptr) [[unlikely]] {
        api_call_failed();
    }
    return Ref::steal(result);
}

// A failed conversion of the argument `name`: an exact TypeError is replaced by a TypeError
// "argument '<name>': <text>" carrying the same cause; any other error passes unchanged.
[[nodiscard]] PendingError argument_error(PendingError error, const char* name);

// `convert(value)`, its pending error passed through argument_error with the argument's name.
template <class Convert>
auto convert_argument(Convert&& convert, PyObject* value, const char* name) -> decltype(convert(value)) {
    try {
        return convert(value);
    } catch (PendingError& error) {
        throw argument_error(std::move(error), name);
    }
}

// Creates the PanicException type on first need; aborts the process if it cannot.
[[nodiscard]] PyObject* panic_exception_type();

}  // namespace tavrin::binding
