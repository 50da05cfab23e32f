// The argument parser: positional and keyword arguments into parameter slots, and the
// TypeError messages of a call that does not fit the function's parameters.
#include "args.hpp"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "convert.hpp"

namespace tavrin::binding {

namespace {

PendingError type_error(std::string message) { return PendingError::lazy(PyExc_TypeError, std::move(message)); }

std::size_t positional_count(const FunctionDescription& function) {
    return function.parameters.size() - function.keyword_only;
}

PendingError too_many_positional(const FunctionDescription& function, std::size_t given) {
    const std::size_t count = positional_count(function);
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
void bind_keyword(const FunctionDescription& function, PyObject* keyword, PyObject* value, std::span<Ref> slots) {
    // A keyword that is no str, or whose text is no valid UTF-8, matches no parameter.
    if (PyUnicode_Check(keyword)) {
        Ref keep;
        std::optional<std::string_view> name;
        try {
            name = utf8_view(keyword, keep);
        } catch (PendingError&) {
            // Dropped: the keyword is reported below as unexpected.
        }
        for (std::size_t i = 0; name && i < function.parameters.size(); ++i) {
            if (*name == function.parameters[i]) {
                if (slots[i]) {
                    throw type_error(std::string(function.name) + " got multiple values for argument '" +
                                     function.parameters[i] + "'");
                }
                slots[i] = Ref::own(value);
                return;
            }
        }
    }
    throw type_error(std::string(function.name) + " got an unexpected keyword argument '" + keyword_text(keyword) +
                     "'");
}

void check_required(const FunctionDescription& function, std::span<Ref> slots) {
    std::vector<const char*> missing;
    for (std::size_t i = 0; i < function.required; ++i) {
        if (!slots[i]) {
            missing.push_back(function.parameters[i]);
        }
    }
    if (missing.empty()) {
        return;
    }
    std::string message = std::string(function.name) + " missing " + std::to_string(missing.size()) +
                          " required positional argument" + (missing.size() == 1 ? "" : "s") + ": ";
    for (std::size_t i = 0; i < missing.size(); ++i) {
        if (i > 0) {
            message += missing.size() == 2 ? " and " : (i + 1 == missing.size() ? ", and " : ", ");
        }
        message += std::string("'") + missing[i] + "'";
    }
    throw type_error(std::move(message));
}

}  // namespace

void bind_arguments(const FunctionDescription& function, PyObject* args, PyObject* kwargs, std::span<Ref> slots) {
    const Py_ssize_t given = PyTuple_Size(args);
    if (given < 0) {
        throw PendingError::fetch();
    }
    if (static_cast<std::size_t>(given) > positional_count(function)) {
        throw too_many_positional(function, static_cast<std::size_t>(given));
    }
    for (Py_ssize_t i = 0; i < given; ++i) {
        slots[static_cast<std::size_t>(i)] = Ref::own(PyTuple_GetItem(args, i));
    }
    if (kwargs != nullptr) {
        // Not PyDict_Next, which PyPy cannot survive on a value it fails to hand over (see
        // safe_iterator). The list also keeps the pairs alive while binding runs Python code.
        const Ref items = require(PyDict_Items(kwargs));
        const Ref pairs = safe_iterator(items.get());
        while (Ref pair = Ref::steal(PyIter_Next(pairs.get()))) {
            PyObject* keyword = require_borrowed(PyTuple_GetItem(pair.get(), 0));
            bind_keyword(function, keyword, require_borrowed(PyTuple_GetItem(pair.get(), 1)), slots);
        }
        require_no_error();
    }
    check_required(function, slots);
}

void bind_arguments(const FunctionDescription& function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    std::span<Ref> slots) {
    const auto given = static_cast<std::size_t>(nargs);
    if (given > positional_count(function)) {
        throw too_many_positional(function, given);
    }
    for (std::size_t i = 0; i < given; ++i) {
        slots[i] = Ref::own(args[i]);
    }
    if (kwnames != nullptr) {
        const Py_ssize_t keywords = PyTuple_Size(kwnames);
        for (Py_ssize_t i = 0; i < keywords; ++i) {
            const Ref keyword = Ref::own(PyTuple_GetItem(kwnames, i));
            bind_keyword(function, keyword.get(), args[nargs + i], slots);
        }
    }
    check_required(function, slots);
}

}  // namespace tavrin::binding
