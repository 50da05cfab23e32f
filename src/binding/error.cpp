// Pending errors: their lazy and normalised forms, the hand-over to the interpreter, the
// type-mismatch message and the argument error; and the PanicException type.
#include "error.hpp"

#include <cstdio>
#include <optional>

#include "fatal.hpp"
#include "guard.hpp"
#include "once.hpp"

namespace tavrin::binding {

namespace {

constexpr const char* UNKNOWN_TYPE_NAME = "<failed to extract type name>";
constexpr const char* UNPRINTABLE = "<exception str() failed>";
constexpr const char* PANIC_TYPE_NAME = "pyo3_runtime.PanicException";
constexpr const char* PANIC_TYPE_DOC =
    "Raised when the native code of tavrin_puzzles fails fatally during a call from Python.\n\n"
    "Like SystemExit, this exception derives from BaseException, not Exception, so that it\n"
    "usually propagates all the way up the stack and ends the interpreter.";
constexpr const char* PANIC_TYPE_FAILED = "Failed to initialize new exception type.";

OnceCell panic_type_cell;

bool is_exception_class(PyObject* type) {
    return PyType_Check(type) &&
           PyType_HasFeature(reinterpret_cast<PyTypeObject*>(type), Py_TPFLAGS_BASE_EXC_SUBCLASS);
}

// UTF-8 text of a str, or nothing (with the interpreter's error cleared).
std::optional<std::string> utf8_of(PyObject* text) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text, &size);
    if (data == nullptr) {
        PyErr_Clear();
        return std::nullopt;
    }
    return std::string(data, static_cast<std::size_t>(size));
}

std::string qualified_type_name(PyObject* type) {
    Ref name = Ref::steal(PyObject_GetAttrString(type, "__qualname__"));
    if (!name || !PyUnicode_Check(name.get())) {
        PyErr_Clear();
        return UNKNOWN_TYPE_NAME;
    }
    return utf8_of(name.get()).value_or(UNKNOWN_TYPE_NAME);
}

// "'int' object cannot be converted to 'PyString'"
std::string mismatch_message(PyObject* type, const char* target) {
    std::string message(1, '\'');
    message.append(qualified_type_name(type));
    message.append("' object cannot be converted to '");
    message.append(target);
    message.push_back('\'');
    return message;
}

}  // namespace

PendingError PendingError::lazy(PyObject* type, std::string message) {
    return PendingError(Lazy{Ref::own(type), std::move(message), Ref(), nullptr});
}

PendingError PendingError::type_mismatch(PyObject* object, const char* target) {
    return PendingError(Lazy{Ref::own(PyExc_TypeError), std::string(),
                             Ref::own(reinterpret_cast<PyObject*>(Py_TYPE(object))), target});
}

PendingError::PendingError(std::variant<Lazy, Normalised> form)
    : state_(std::make_shared<State>(State{std::move(form), Ref()})) {}

PendingError PendingError::fetch() {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) {
        Py_XDECREF(value);
        Py_XDECREF(traceback);
        return lazy(PyExc_SystemError, NO_EXCEPTION_SET);
    }
    PyErr_NormalizeException(&type, &value, &traceback);
    return PendingError(Normalised{Ref::steal(type), Ref::steal(value), Ref::steal(traceback)});
}

PyObject* PendingError::type() const noexcept {
    return std::visit([](const auto& state) { return state.type.get(); }, state_->form);
}

PendingError::Normalised& PendingError::normalise() {
    if (auto* lazy_state = std::get_if<Lazy>(&state_->form)) {
        Lazy lazy_error = std::move(*lazy_state);
        std::string message = lazy_error.mismatched_type
                                  ? mismatch_message(lazy_error.mismatched_type.get(), lazy_error.target)
                                  : std::move(lazy_error.message);
        Ref text = Ref::steal(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
        Ref args = text ? Ref::steal(PyTuple_New(1)) : Ref();
        if (args) {
            // PyTuple_SetItem takes over the reference, also when it fails.
            if (PyTuple_SetItem(args.get(), 0, text.release()) == 0) {
                if (is_exception_class(lazy_error.type.get())) {
                    PyErr_SetObject(lazy_error.type.get(), args.get());
                } else {
                    PyErr_SetString(PyExc_TypeError, NOT_AN_EXCEPTION_CLASS);
                }
            }
        }
        // Whatever was raised above (or a failure to build the argument) is now the error;
        // an interpreter that refused without raising gets a SystemError instead.
        if (PyErr_Occurred() == nullptr) {
            PyErr_SetString(PyExc_SystemError, NO_EXCEPTION_SET);
        }
        PendingError raised = fetch();
        if (!std::holds_alternative<Normalised>(raised.state_->form)) {
            fail(NO_EXCEPTION_SET);
        }
        state_->form = std::move(std::get<Normalised>(raised.state_->form));
    }
    return std::get<Normalised>(state_->form);
}

PyObject* PendingError::value() { return normalise().value.get(); }

std::string PendingError::text() {
    if (auto* lazy_state = std::get_if<Lazy>(&state_->form); lazy_state && !lazy_state->mismatched_type) {
        return lazy_state->message;
    }
    Ref text = Ref::steal(PyObject_Str(value()));
    if (!text) {
        PyErr_Clear();
        return UNPRINTABLE;
    }
    return utf8_of(text.get()).value_or(UNPRINTABLE);
}

Ref PendingError::take_cause() {
    if (state_->cause) {
        return std::move(state_->cause);
    }
    if (std::holds_alternative<Normalised>(state_->form)) {
        return Ref::steal(PyException_GetCause(value()));
    }
    return Ref();
}

void PendingError::restore() && {
    Normalised& normalised = normalise();
    if (state_->cause) {
        PyException_SetCause(normalised.value.get(), state_->cause.release());
    }
    PyErr_Restore(normalised.type.release(), normalised.value.release(), normalised.traceback.release());
}

PendingError argument_error(PendingError error, const char* name) {
    if (error.type() != PyExc_TypeError) {
        return error;
    }
    PendingError replaced = PendingError::lazy(PyExc_TypeError, std::string("argument '") + name + "': " + error.text());
    replaced.set_cause(error.take_cause());
    return replaced;
}

void api_call_failed() {
    if (PyErr_Occurred() != nullptr) {
        PyErr_Print();
    }
    fail(API_CALL_FAILED);
}

PyObject* panic_exception_type() {
    return panic_type_cell.get_or_init([] {
        PyObject* type = PyErr_NewExceptionWithDoc(PANIC_TYPE_NAME, PANIC_TYPE_DOC, PyExc_BaseException, nullptr);
        if (type == nullptr) {
            PyErr_Print();
            std::fputs(PANIC_TYPE_FAILED, stderr);
            std::fputc('\n', stderr);
            fatal_trap();
        }
        return Ref::steal(type);
    });
}

}  // namespace tavrin::binding
