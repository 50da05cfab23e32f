// The module tavrin_estimate._kernel: the seeded count (count_boardings) and the list of
// block functions, for the companion package. It shares the call guard, the pending errors,
// the argument parser and the conversions with tavrin_puzzles, and keeps the interpreter lock
// released while it counts. Its failures are ordinary Python exceptions: no PanicException,
// nothing on standard error.
#include <array>
#include <cstring>
#include <new>
#include <string>

#include "binding/args.hpp"
#include "binding/convert.hpp"
#include "binding/error.hpp"
#include "binding/guard.hpp"
#include "binding/once.hpp"
#include "counting.hpp"
#include "recording.hpp"

namespace tavrin::binding {

namespace {

constexpr const char* MODULE_NAME = "tavrin_estimate._kernel";
constexpr const char* MODULE_DOC =
    "The seeded counting kernel of tavrin_estimate: reproducible counts of boardings, the same "
    "on any number of threads.";
constexpr std::size_t KEY_BYTES = sizeof(ChaChaKey);

constexpr std::array<const char*, 10> COUNT_PARAMETERS = {
    "passengers", "seats", "cols", "key", "block_size", "start", "stop", "threads", "block_function", "position"};
constexpr FunctionDescription COUNT_FUNCTION = {"count()", COUNT_PARAMETERS, 7, 3};
constexpr std::array<const char*, 8> BOARD_PARAMETERS = {
    "passengers", "seats", "cols", "key", "block_size", "index", "block_function", "position"};
constexpr FunctionDescription BOARD_FUNCTION = {"board()", BOARD_PARAMETERS, 6, 2};

// A count or a size: an int, never a bool (True is no block size).
std::uint64_t to_count(PyObject* object) {
    if (PyBool_Check(object)) {
        throw PendingError::type_mismatch(object, "int");
    }
    return to_u64(object);
}

// The 32 bytes of a bytes object as eight little-endian words.
ChaChaKey to_key(PyObject* object) {
    if (!PyBytes_Check(object)) {
        throw PendingError::type_mismatch(object, "PyBytes");
    }
    char* data = nullptr;
    Py_ssize_t size = 0;
    require_status(PyBytes_AsStringAndSize(object, &data, &size));
    if (static_cast<std::size_t>(size) != KEY_BYTES) {
        throw PendingError::lazy(PyExc_ValueError,
                                 "key must be " + std::to_string(KEY_BYTES) + " bytes, got " + std::to_string(size));
    }
    ChaChaKey key{};
    const auto* bytes = reinterpret_cast<const unsigned char*>(data);
    for (std::size_t i = 0; i < key.size(); ++i) {
        const unsigned char* b = bytes + 4 * i;
        key[i] = std::uint32_t{b[0]} | std::uint32_t{b[1]} << 8 | std::uint32_t{b[2]} << 16 | std::uint32_t{b[3]} << 24;
    }
    return key;
}

std::string path_names() {
    std::string names;
    for (const ChaChaPath& path : chacha_paths()) {
        names += names.empty() ? "" : ", ";
        names += path.name;
    }
    return names;
}

// None for the fastest path, or the name of one this processor runs.
ChaChaRefillFunction to_refill(PyObject* object) {
    if (object == Py_None) {
        return chacha_paths().front().rounds12;
    }
    if (!PyUnicode_Check(object)) {
        throw PendingError::type_mismatch(object, "PyString");
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(object, &size);
    if (data == nullptr) {
        // A lone surrogate names no block function: the same refusal as any other unknown name.
        if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) {
            throw PendingError::fetch();
        }
        PyErr_Clear();
        throw PendingError::lazy(PyExc_ValueError, "unknown block function (not UTF-8 text): choose one of " +
                                                       path_names());
    }
    const std::string name(data, static_cast<std::size_t>(size));
    for (const ChaChaPath& path : chacha_paths()) {
        if (name == path.name) {
            return path.rounds12;
        }
    }
    const bool known = name == "scalar" || name == "sse2" || name == "avx2" || name == "avx512";
    throw PendingError::lazy(PyExc_ValueError, std::string(known ? "this processor does not run block function '"
                                                                 : "unknown block function '") +
                                                   name + "': choose one of " + path_names());
}

PyObject* exception_type(CountError::Kind kind) {
    switch (kind) {
        case CountError::Kind::bad_value:
            return PyExc_ValueError;
        case CountError::Kind::no_memory:
            return PyExc_MemoryError;
        case CountError::Kind::no_workers:
            break;
    }
    return PyExc_RuntimeError;
}

CountResult count_unlocked(const Planes& plane, const CountRequest& request) {
    try {
        return without_interpreter_lock([&] { return count_boardings(plane, request); });
    } catch (const CountError& error) {
        throw PendingError::lazy(exception_type(error.kind()), error.what());
    } catch (const std::bad_alloc&) {
        throw PendingError::lazy(PyExc_MemoryError, "out of memory while counting");
    }
}

// Words (counts, seat numbers, passengers) as consecutive little-endian 32-bit words.
Ref word_bytes(const std::vector<std::uint32_t>& counts) {
    Ref bytes = require(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(counts.size() * 4)));
    auto* out = reinterpret_cast<unsigned char*>(PyBytes_AsString(bytes.get()));
    for (const std::uint32_t count : counts) {
        for (unsigned shift = 0; shift < 32; shift += 8) {
            *out++ = static_cast<unsigned char>(count >> shift);
        }
    }
    return bytes;
}

Ref pair(Ref first, Ref second) {
    Ref tuple = require(PyTuple_New(2));
    // PyTuple_SetItem takes over the reference, also when it fails.
    require_status(PyTuple_SetItem(tuple.get(), 0, first.release()));
    require_status(PyTuple_SetItem(tuple.get(), 1, second.release()));
    return tuple;
}

// The plane of a call, from its first three arguments.
template <std::size_t N>
Planes bound_plane(const BoundArguments<N>& bound) {
    Planes plane;
    plane.passengers = convert_argument(to_count, bound[0].get(), "passengers");
    plane.seats = convert_argument(to_count, bound[1].get(), "seats");
    plane.cols = convert_argument(str_to_chars, bound[2].get(), "cols");
    return plane;
}

// A stream position given by the caller: 2**64 - 1 is the kernel's own mark for "not known".
std::uint64_t to_position(PyObject* object) {
    const std::uint64_t position = to_count(object);
    if (position == UNKNOWN_POSITION) {
        throw PendingError::lazy(PyExc_ValueError, "position must be less than 2**64 - 1");
    }
    return position;
}

PyObject* kernel_count(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard_object(" in count()", [&] {
        BoundArguments<COUNT_PARAMETERS.size()> bound;
        bind_arguments(COUNT_FUNCTION, args, nargs, kwnames, bound);
        const Planes plane = bound_plane(bound);
        CountRequest request;
        request.key = convert_argument(to_key, bound[3].get(), "key");
        request.block_size = convert_argument(to_count, bound[4].get(), "block_size");
        request.start = convert_argument(to_count, bound[5].get(), "start");
        request.stop = convert_argument(to_count, bound[6].get(), "stop");
        if (bound[7]) {
            request.threads = convert_argument(to_count, bound[7].get(), "threads");
        }
        if (bound[8]) {
            request.refill = convert_argument(to_refill, bound[8].get(), "block_function");
        }
        // With a position (None counts as not given) the call also says where the next one goes on.
        const bool positioned = bound[9] && bound[9].get() != Py_None;
        if (positioned) {
            request.start_position = convert_argument(to_position, bound[9].get(), "position");
            if (request.block_size != 0 && request.start % request.block_size == 0 && request.start_position != 0) {
                throw PendingError::lazy(PyExc_ValueError, "position must be 0 where a block begins, not " +
                                                               std::to_string(request.start_position));
            }
        }
        const CountResult result = count_unlocked(plane, request);
        if (!positioned) {
            return pair(make_int(result.successes), word_bytes(result.per_block));
        }
        Ref triple = require(PyTuple_New(3));
        require_status(PyTuple_SetItem(triple.get(), 0, make_int(result.successes).release()));
        require_status(PyTuple_SetItem(triple.get(), 1, word_bytes(result.per_block).release()));
        require_status(PyTuple_SetItem(triple.get(), 2, make_int(result.stop_position).release()));
        return triple;
    });
}

PyObject* kernel_board(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard_object(" in board()", [&] {
        BoundArguments<BOARD_PARAMETERS.size()> bound;
        bind_arguments(BOARD_FUNCTION, args, nargs, kwnames, bound);
        const Planes plane = bound_plane(bound);
        BoardingRequest request;
        request.key = convert_argument(to_key, bound[3].get(), "key");
        request.block_size = convert_argument(to_count, bound[4].get(), "block_size");
        request.index = convert_argument(to_count, bound[5].get(), "index");
        if (bound[6]) {
            request.refill = convert_argument(to_refill, bound[6].get(), "block_function");
        }
        if (bound[7] && bound[7].get() != Py_None) {
            request.start_position = convert_argument(to_position, bound[7].get(), "position");
        }
        BoardingRecord record;
        try {
            record = without_interpreter_lock([&] { return record_seeded_boarding(plane, request); });
        } catch (const CountError& error) {
            throw PendingError::lazy(exception_type(error.kind()), error.what());
        } catch (const std::bad_alloc&) {
            throw PendingError::lazy(PyExc_MemoryError, "out of memory while boarding");
        }
        Ref outcome = make_bool(record.outcome);
        Ref tickets = word_bytes(record.tickets);
        Ref drawers = word_bytes(record.drawers);
        Ref places = word_bytes(record.places);
        Ref stop = make_int(record.stop_position);
        Ref tuple = require(PyTuple_New(5));
        require_status(PyTuple_SetItem(tuple.get(), 0, outcome.release()));
        require_status(PyTuple_SetItem(tuple.get(), 1, tickets.release()));
        require_status(PyTuple_SetItem(tuple.get(), 2, drawers.release()));
        require_status(PyTuple_SetItem(tuple.get(), 3, places.release()));
        require_status(PyTuple_SetItem(tuple.get(), 4, stop.release()));
        return tuple;
    });
}

PyObject* kernel_block_functions(PyObject*, PyObject*) {
    return guard_object([] {
        const std::span<const ChaChaPath> paths = chacha_paths();
        Ref list = require(PyList_New(0));
        for (const ChaChaPath& path : paths) {
            require_status(PyList_Append(list.get(), make_str(path.name).get()));
        }
        return list;
    });
}

PyObject* kernel_lanes(PyObject*, PyObject* seats) {
    return guard_object([seats] {
        return make_int(blocks_at_once(convert_argument(to_count, seats, "seats"), chacha_paths().front().rounds12));
    });
}

PyMethodDef module_functions[] = {
    {"count", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(kernel_count)),
     METH_FASTCALL | METH_KEYWORDS,
     "count($module, passengers, seats, cols, key, block_size, start, stop, *, threads=0, "
     "block_function=None, position=None)\n--\n\n"
     "Count boardings [start, stop) of the seeded run keyed by `key`.\n\n"
     "Boarding g belongs to block g // block_size; block i draws its words from ChaCha12 keyed by\n"
     "`key`, stream number i, block counter from 0, and runs its boardings one after another. The\n"
     "counts depend on nothing but the arguments before `threads`.\n\n"
     "Parameters\n"
     "----------\n"
     "passengers, seats : int\n"
     "    The plane: 1 <= passengers <= seats < 2**32.\n"
     "cols : str\n"
     "    Column letters, at least min(seats, 6); they change no count.\n"
     "key : bytes\n"
     "    The 32-byte key, ``seed_key(seed)``, read as eight little-endian words.\n"
     "block_size : int\n"
     "    Boardings per block, 1 to 2**32 - 1.\n"
     "start, stop : int\n"
     "    The boardings [start, stop) counted, 0 <= start <= stop < 2**64.\n"
     "threads : int, default 0\n"
     "    At most this many worker threads; 0 takes TAVRIN_PUZZLES_WORKER_THREADS, or else the\n"
     "    processors available. Changes no count.\n"
     "block_function : str, optional\n"
     "    One of block_functions(); None takes the fastest. Changes no count.\n"
     "position : int, optional\n"
     "    The word of its block's stream where boarding `start` begins: 0 at a block's start,\n"
     "    else the `stop_position` of the call that ended there. With it, a long block is counted\n"
     "    in short calls without running its beginning again.\n\n"
     "Returns\n"
     "-------\n"
     "successes : int\n"
     "    Boardings of [start, stop) in which the last passenger sits in their own seat.\n"
     "per_block : bytes\n"
     "    One little-endian 32-bit count per block touched, from block start // block_size to\n"
     "    (stop - 1) // block_size, the first and last counting only the range's share; empty\n"
     "    for an empty range.\n"
     "stop_position : int\n"
     "    Only when `position` is given: the word of the last block's stream where boarding\n"
     "    `stop` begins; for an empty range, `position` itself.\n\n"
     "Raises\n"
     "------\n"
     "TypeError, OverflowError\n"
     "    An argument of the wrong type or out of range.\n"
     "ValueError\n"
     "    A plane that cannot board, a key not of 32 bytes, a bad block size or range, a block\n"
     "    function this processor does not run.\n"
     "MemoryError\n"
     "    The seat lists or the per-block counts do not fit in memory.\n"
     "RuntimeError\n"
     "    The worker threads cannot be started, or TAVRIN_PUZZLES_WORKER_THREADS is invalid.\n\n"
     "Examples\n"
     "--------\n"
     ">>> from tavrin_estimate import _kernel, seed_key\n"
     ">>> successes, per_block = _kernel.count(10, 10, 'ABCDEF', seed_key(1), 64, 0, 200)\n"
     ">>> successes, [int.from_bytes(per_block[i:i + 4], 'little') for i in range(0, 16, 4)]\n"
     "(86, [25, 30, 28, 3])\n"},
    {"board", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(kernel_board)),
     METH_FASTCALL | METH_KEYWORDS,
     "board($module, /, passengers, seats, cols, key, block_size, index, *, block_function=None, "
     "position=None)\n--\n\n"
     "Boarding `index` of the seeded run keyed by `key`, written down.\n\n"
     "The same boarding, from the same words, as count() counts for the range [index, index + 1):\n"
     "the boardings of its block before it are run first (unless `position` says where it begins),\n"
     "then its seat list is shuffled in full and its chain of displaced passengers followed.\n\n"
     "Parameters\n"
     "----------\n"
     "passengers, seats, cols, key, block_size, block_function\n"
     "    As for count().\n"
     "index : int\n"
     "    The boarding, 0 <= index < 2**64 - 1.\n"
     "position : int, optional\n"
     "    The word of its block's stream where boarding `index` begins (0 where a block begins),\n"
     "    the `stop_position` of a count that ended there.\n\n"
     "Returns\n"
     "-------\n"
     "outcome : bool\n"
     "    The last passenger sat in their own seat.\n"
     "tickets : bytes\n"
     "    Every passenger's seat number, passenger 1 first, as little-endian 32-bit words.\n"
     "drawers, places : bytes\n"
     "    The passengers who drew a free seat, in boarding order, and the place each drew in the\n"
     "    free-seat list, little-endian 32-bit words: for drawer d the list is\n"
     "    [t1, t(d+1), ..., tP], so place 0 is passenger 1's seat and ends the chain, place k is\n"
     "    passenger d + k's seat.\n"
     "stop_position : int\n"
     "    The word of the block's stream where boarding index + 1 begins (within the block).\n\n"
     "Raises\n"
     "------\n"
     "TypeError, OverflowError, ValueError, MemoryError\n"
     "    As count(); ValueError for index 2**64 - 1.\n\n"
     "Examples\n"
     "--------\n"
     ">>> from tavrin_estimate import _kernel, seed_key\n"
     ">>> outcome, tickets, drawers, places, _ = _kernel.board(3, 3, 'ABC', seed_key(1), 64, 5)\n"
     ">>> outcome == bool(_kernel.count(3, 3, 'ABC', seed_key(1), 64, 5, 6)[0])\n"
     "True\n"},
    {"block_functions", kernel_block_functions, METH_NOARGS,
     "block_functions($module, /)\n--\n\n"
     "The block functions this processor runs, fastest first.\n\n"
     "Returns\n"
     "-------\n"
     "list of str\n"
     "    Among 'avx512', 'avx2', 'sse2' and 'scalar'; all give the same words.\n\n"
     "Examples\n"
     "--------\n"
     ">>> from tavrin_estimate import _kernel\n"
     ">>> 'scalar' in _kernel.block_functions()\n"
     "True\n"},
    {"lanes", kernel_lanes, METH_O,
     "lanes($module, seats, /)\n--\n\n"
     "The blocks of a plane of `seats` seats that one worker thread counts at once with the\n"
     "fastest block function: a call fills its threads when it holds about this many blocks for\n"
     "each. 1 where a thread counts one block at a time.\n\n"
     "Examples\n"
     "--------\n"
     ">>> from tavrin_estimate import _kernel\n"
     ">>> _kernel.lanes(100) >= 1\n"
     "True\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, MODULE_NAME, MODULE_DOC, 0, module_functions, nullptr, nullptr, nullptr, nullptr,
};

OnceCell module_cell;

Ref initialise_module() {
    if (PyObject* cached = module_cell.get()) {
        return Ref::own(cached);
    }
    Ref module = require(PyModule_Create2(&module_definition, 1013));
    require_status(compat::declare_gil_free(module.get()));
    return Ref::own(module_cell.set(std::move(module)));
}

}  // namespace

}  // namespace tavrin::binding

PyMODINIT_FUNC PyInit__kernel() { return tavrin::binding::guard_object(tavrin::binding::initialise_module); }
