#include "args.hpp"

#include <string>
#include <string_view>
#include <vector>

namespace tavrin::binding {

namespace {

PendingError type_error(std::string message) { return PendingError::lazy(PyExc_TypeError, std::move(message)); }

PendingError too_many_positional(const FunctionDescription& function, std::size_t given) {
    const std::size_t count = function.parameters.size();
    std::string message = std::string(function.name) + " takes ";
    if (function.required == count) {
        message += std::to_string(count);
    } else {
        message += "from " + std::to_string(function.required) + " to " + std::to_string(count);
    }
    message += " positional arguments but " + std::to_string(given) + (given == 1 ? " was" : " were") + " given";
    return type_error(std::move(message));
}

// The keyword as text for a message; keyword names that are not valid UTF-8 (lone surrogates)
// are shown with backslash escapes.
std::string keyword_text(PyObject* keyword) {
    Ref text = Ref::steal(PyObject_Str(keyword));
    if (text) {
        Ref encoded = Ref::steal(PyUnicode_AsEncodedString(text.get(), "utf-8", "backslashreplace"));
        if (encoded) {
            return std::string(PyBytes_AsString(encoded.get()), static_cast<std::size_t>(PyBytes_Size(encoded.get())));
        }
    }
    PyErr_Clear();
    return "?";
}

// Puts one keyword argument into its slot.
Result<void> bind_keyword(const FunctionDescription& function, PyObject* keyword, PyObject* value,
                          std::span<Ref> slots) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_Check(keyword) ? PyUnicode_AsUTF8AndSize(keyword, &size) : nullptr;
    if (data != nullptr) {
        const std::string_view name(data, static_cast<std::size_t>(size));
        for (std::size_t i = 0; i < function.parameters.size(); ++i) {
            if (name == function.parameters[i]) {
                if (slots[i]) {
                    return type_error(std::string(function.name) + " got multiple values for argument '" +
                                      function.parameters[i] + "'");
                }
                slots[i] = Ref::own(value);
                return {};
            }
        }
    } else {
        PyErr_Clear();
    }
    return type_error(std::string(function.name) + " got an unexpected keyword argument '" + keyword_text(keyword) +
                      "'");
}

Result<void> check_required(const FunctionDescription& function, std::span<Ref> slots) {
    std::vector<const char*> missing;
    for (std::size_t i = 0; i < function.required; ++i) {
        if (!slots[i]) {
            missing.push_back(function.parameters[i]);
        }
    }
    if (missing.empty()) {
        return {};
    }
    std::string message = std::string(function.name) + " missing " + std::to_string(missing.size()) +
                          " required positional argument" + (missing.size() == 1 ? "" : "s") + ": ";
    for (std::size_t i = 0; i < missing.size(); ++i) {
        if (i > 0) {
            message += missing.size() == 2 ? " and " : (i + 1 == missing.size() ? ", and " : ", ");
        }
        message += std::string("'") + missing[i] + "'";
    }
    return type_error(std::move(message));
}

}  // namespace

Result<void> bind_arguments(const FunctionDescription& function, PyObject* args, PyObject* kwargs,
                            std::span<Ref> slots) {
    const Py_ssize_t given = PyTuple_Size(args);
    if (given < 0) {
        return PendingError::fetch();
    }
    if (static_cast<std::size_t>(given) > function.parameters.size()) {
        return too_many_positional(function, static_cast<std::size_t>(given));
    }
    for (Py_ssize_t i = 0; i < given; ++i) {
        slots[static_cast<std::size_t>(i)] = Ref::own(PyTuple_GetItem(args, i));
    }
    if (kwargs != nullptr) {
        Py_ssize_t position = 0;
        PyObject* keyword = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &position, &keyword, &value)) {
            // Own both before the next interpreter call, which may run Python code.
            Ref owned_keyword = Ref::own(keyword);
            Ref owned_value = Ref::own(value);
            if (Result<void> bound = bind_keyword(function, owned_keyword.get(), owned_value.get(), slots); !bound) {
                return bound;
            }
        }
    }
    return check_required(function, slots);
}

Result<void> bind_arguments(const FunctionDescription& function, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames, std::span<Ref> slots) {
    const auto given = static_cast<std::size_t>(nargs);
    if (given > function.parameters.size()) {
        return too_many_positional(function, given);
    }
    for (std::size_t i = 0; i < given; ++i) {
        slots[i] = Ref::own(args[i]);
    }
    if (kwnames != nullptr) {
        const Py_ssize_t keywords = PyTuple_Size(kwnames);
        for (Py_ssize_t i = 0; i < keywords; ++i) {
            Ref keyword = Ref::own(PyTuple_GetItem(kwnames, i));
            if (Result<void> bound = bind_keyword(function, keyword.get(), args[nargs + i], slots); !bound) {
                return bound;
            }
        }
    }
    return check_required(function, slots);
}

}  // namespace tavrin::binding
