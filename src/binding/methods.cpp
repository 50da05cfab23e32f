// The methods generate_seating(), run_simulation() and run_simulations(iterations). Each
// entry binds and converts its arguments, borrows the object, runs the model on the record
// and converts the result. (The constructor lives with the object, in object.cpp.)
#include "methods.hpp"

#include <array>
#include <string>

#include "args.hpp"
#include "convert.hpp"
#include "guard.hpp"
#include "object.hpp"
#include "seating_dict.hpp"

namespace tavrin::binding {

namespace {

constexpr std::array<const char*, 1> RUN_SIMULATIONS_PARAMETERS = {"iterations"};
constexpr FunctionDescription RUN_SIMULATIONS_FUNCTION = {"Planes.run_simulations()", RUN_SIMULATIONS_PARAMETERS, 1, 0};

// Checks the receiver, takes the shared borrow and runs `body` on the record.
template <class Body>
PyObject* with_shared_record(PyObject* self, Body&& body) {
    return guard_object([&] {
        const SharedBorrow borrow(check_receiver(self));
        return body(borrow.record());
    });
}

Ref seating_dict(const Planes& record) {
    const SeatMap seating = generate_seating(record);
    return seating_to_dict(record.cols, seating);
}

// Peak bytes per passenger of the result dict while it is built (the dict's table, the key
// int and the label str), measured as the growth of the peak resident size for 10^6 to 10^7
// passengers (benchmarks/seating_memory.py), with room above the largest figure seen.
#ifdef PYPY_VERSION
constexpr std::uint64_t SEATING_DICT_BYTES_PER_PASSENGER = 432;
#else
constexpr std::uint64_t SEATING_DICT_BYTES_PER_PASSENGER = 224;
#endif

PyObject* planes_generate_seating(PyObject* self, PyObject*) {
    return with_shared_record(self, [](const Planes& record) {
        // Refuses a seating whose dict would not fit in memory, before any of it is built.
        check_seating_result_fits(record, SEATING_DICT_BYTES_PER_PASSENGER);
        return seating_dict(record);
    });
}

PyObject* planes_run_simulation(PyObject* self, PyObject*) {
    return with_shared_record(self, [](const Planes& record) { return make_bool(run_simulation(record)); });
}

PyObject* planes_run_simulations(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard_object(" in Planes.run_simulations()", [&] {
        BoundArguments<1> bound;
        bind_arguments(RUN_SIMULATIONS_FUNCTION, args, nargs, kwnames, bound);
        const SharedBorrow borrow(check_receiver(self));
        const std::uint64_t iterations = convert_argument(to_u64, bound[0].get(), "iterations");
        return make_float(run_simulations(borrow.record(), iterations));
    });
}

#ifdef PYPY_VERSION
// PyPy ignores a class's missing base-type flag; refuse subclasses here instead.
PyObject* planes_init_subclass(PyObject*, PyObject*, PyObject*) {
    return guard_object([]() -> Ref {
        throw PendingError::lazy(PyExc_TypeError, "type 'builtins.Planes' is not an acceptable base type");
    });
}

// PyPy's inherited object.__reduce_ex__ copies a native object as a fresh default one;
// refuse copying and pickling with the texts CPython gives (its copyreg path, taken for
// protocols 0 and 1 and by __reduce__, names the class by its short name).
PendingError cannot_pickle(bool short_name) {
    return PendingError::lazy(PyExc_TypeError,
                              std::string("cannot pickle '") + (short_name ? "Planes" : "builtins.Planes") + "' object");
}

PyObject* planes_reduce_ex(PyObject*, PyObject* protocol) {
    return guard_object([&]() -> Ref {
        const long number = PyLong_AsLong(protocol);
        if (number == -1) {
            require_no_error();
        }
        throw cannot_pickle(number < 2);
    });
}

PyObject* planes_reduce(PyObject*, PyObject*) {
    return guard_object([]() -> Ref { throw cannot_pickle(true); });
}
#endif

// Each doc text is a text signature and nothing else.
PyMethodDef planes_method_table[] = {
    {"run_simulation", planes_run_simulation, METH_NOARGS, "run_simulation($self)\n--\n\n"},
    {"run_simulations",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(planes_run_simulations)),
     METH_FASTCALL | METH_KEYWORDS, "run_simulations($self, iterations)\n--\n\n"},
    {"generate_seating", planes_generate_seating, METH_NOARGS, "generate_seating($self)\n--\n\n"},
#ifdef PYPY_VERSION
    {"__init_subclass__",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(planes_init_subclass)),
     METH_CLASS | METH_VARARGS | METH_KEYWORDS, nullptr},
    {"__reduce_ex__", planes_reduce_ex, METH_O, nullptr},
    {"__reduce__", planes_reduce, METH_NOARGS, nullptr},
#endif
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyMethodDef* planes_methods() noexcept { return planes_method_table; }

}  // namespace tavrin::binding
