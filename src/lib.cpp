// The module's entry: PyInit_tavrin_puzzles creates the module object once per process
// (single-phase initialisation; a later import gets the cached object), registers the class
// Planes and lists it in __all__.
#include "binding/binding.hpp"

namespace tavrin::binding {

namespace {

constexpr const char* MODULE_DOC = "A Python module implemented in native code.";
constexpr const char* APPEND_TO_ALL_FAILED = "could not append __name__ to __all__";

PyMethodDef module_functions[] = {
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "tavrin_puzzles",
    MODULE_DOC,
    0,
    module_functions,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

OnceCell module_cell;
OnceCell all_name_cell;

PyObject* all_name() {
    return all_name_cell.get_or_init([] {
        PyObject* name = require_result(PyUnicode_FromStringAndSize("__all__", 7)).release();
        PyUnicode_InternInPlace(&name);
        return Ref::steal(name);
    });
}

// The module's __all__ list, created when the module has none yet (the usual case, so the
// AttributeError is examined here rather than thrown).
Ref module_all(PyObject* module) {
    Ref all = Ref::steal(PyObject_GetAttr(module, all_name()));
    if (!all) {
        PendingError error = PendingError::fetch();
        if (!PyErr_GivenExceptionMatches(error.type(), PyExc_AttributeError)) {
            throw error;
        }
        all = require_result(PyList_New(0));
        require_status(PyObject_SetAttr(module, all_name(), all.get()));
        return all;
    }
    if (!PyList_Check(all.get())) {
        throw PendingError::type_mismatch(all.get(), "PyList");
    }
    return all;
}

void fill_module(PyObject* module) {
    PyObject* planes = planes_class();
    const Ref all = module_all(module);
    const Ref name = make_str("Planes");
    if (PyList_Append(all.get(), name.get()) != 0) {
        PendingError error = PendingError::fetch();
        Ref type_name = Ref::steal(PyObject_GetAttrString(error.type(), "__name__"));
        PyErr_Clear();
        std::string description = error.text();
        const char* type_text = type_name && PyUnicode_Check(type_name.get())
                                    ? PyUnicode_AsUTF8AndSize(type_name.get(), nullptr)
                                    : nullptr;
        if (type_text != nullptr) {
            description = std::string(type_text) + ": " + description;
        }
        PyErr_Clear();
        fail(std::string(APPEND_TO_ALL_FAILED) + ": " + description);
    }
    require_status(PyObject_SetAttr(module, name.get(), planes));
}

Ref initialise_module() {
    if (PyObject* cached = module_cell.get()) {
        return Ref::own(cached);
    }
    Ref module = require(PyModule_Create2(&module_definition, 1013));
    require_status(compat::declare_gil_free(module.get()));
    fill_module(module.get());
    return Ref::own(module_cell.set(std::move(module)));
}

}  // namespace

}  // namespace tavrin::binding

PyMODINIT_FUNC PyInit_tavrin_puzzles() {
    return tavrin::binding::guard_object(tavrin::binding::initialise_module);
}
