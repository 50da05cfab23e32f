// Class creation: "builtins.Planes" with the default flags only, so it cannot be
// subclassed and has no instance __dict__ or weak references; a PyPy build adds the hooks
// that make PyPy refuse what CPython refuses by those flags.
#include "planes_class.hpp"

#include <cstring>
#include <string>

#include "attributes.hpp"
#include "guard.hpp"
#include "methods.hpp"
#include "object.hpp"
#include "once.hpp"

namespace tavrin::binding {

namespace {

constexpr const char* CLASS_NAME = "builtins.Planes";
constexpr const char* CLASS_TEXT_SIGNATURE = "(passengers=100, seats=100, cols=...)";
constexpr const char* CLASS_SENTENCE = "A Python class implemented in native code.";
constexpr const char* DOC_HAS_NUL = "class doc cannot contain nul bytes";

OnceCell class_cell;
// PyPy keeps the doc pointer it is given, so the text lives as long as the process.
const std::string* class_doc = nullptr;

const char* class_doc_text() {
    if (class_doc == nullptr) {
        auto* doc = new std::string(std::string("Planes") + CLASS_TEXT_SIGNATURE + "\n--\n\n" + CLASS_SENTENCE);
        if (doc->find('\0') != std::string::npos) {
            delete doc;
            throw PendingError::lazy(PyExc_ValueError, DOC_HAS_NUL);
        }
        class_doc = doc;
    }
    return class_doc->c_str();
}

#ifdef PYPY_VERSION
// PyPy gives every instance a __dict__ whatever the flags say; only the three attributes
// may be assigned.
int planes_setattro(PyObject* self, PyObject* name, PyObject* value) {
    return guard_status([&] {
        Py_ssize_t size = 0;
        const char* text = PyUnicode_Check(name) ? PyUnicode_AsUTF8AndSize(name, &size) : nullptr;
        if (text == nullptr) {
            PyErr_Clear();
            throw PendingError::lazy(PyExc_AttributeError, "'Planes' object attribute names must be text");
        }
        const std::string_view attribute(text, static_cast<std::size_t>(size));
        if (!is_planes_attribute(attribute)) {
            throw PendingError::lazy(PyExc_AttributeError,
                                     "'Planes' object has no attribute '" + std::string(attribute) + "'");
        }
        require_status(PyObject_GenericSetAttr(self, name, value));
    });
}
#endif

Ref create_class() {
    const char* doc = class_doc_text();
    PyType_Slot slots[] = {
        {Py_tp_base, &PyBaseObject_Type},
        {Py_tp_new, reinterpret_cast<void*>(planes_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(planes_dealloc)},
        {Py_tp_doc, const_cast<char*>(doc)},
        {Py_tp_methods, planes_methods()},
        {Py_tp_getset, planes_attributes()},
#ifdef PYPY_VERSION
        {Py_tp_setattro, reinterpret_cast<void*>(planes_setattro)},
#endif
        {0, nullptr},
    };
    PyType_Spec type_description = {
        .name = CLASS_NAME,
        .basicsize = static_cast<int>(sizeof(PlanesObject)),
        .itemsize = 0,
        .flags = Py_TPFLAGS_DEFAULT,
        .slots = slots,
    };
    Ref type = require(PyType_FromSpec(&type_description));
#if !defined(PYPY_VERSION) && PY_VERSION_HEX < 0x030A0000
    // CPython 3.9 keeps only the doc below the signature, so the class would have no
    // __text_signature__; give it the whole text, as 3.10 and later keep it. __doc__ was
    // already set from the shortened text.
    const std::size_t doc_size = std::strlen(doc) + 1;
    auto* whole_doc = static_cast<char*>(PyObject_Malloc(doc_size));
    if (whole_doc == nullptr) {
        PyErr_NoMemory();
        throw PendingError::fetch();
    }
    std::memcpy(whole_doc, doc, doc_size);
    auto* heap_type = reinterpret_cast<PyTypeObject*>(type.get());
    PyObject_Free(const_cast<char*>(heap_type->tp_doc));
    heap_type->tp_doc = whole_doc;
#endif
    return type;
}

}  // namespace

PyTypeObject* planes_type() noexcept { return reinterpret_cast<PyTypeObject*>(class_cell.get()); }

PyObject* planes_class() {
    try {
        return class_cell.get_or_init(create_class);
    } catch (PendingError& error) {
        PendingError failure = PendingError::lazy(PyExc_RuntimeError, CLASS_INIT_FAILED);
        failure.set_cause(Ref::own(error.value()));
        throw failure;
    }
}

}  // namespace tavrin::binding
