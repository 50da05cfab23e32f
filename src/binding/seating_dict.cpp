// Two ways to build the seating dict, one per interpreter. CPython makes each key, label and
// insertion cheaply in C. On PyPy every object made or inserted from C crosses its C-API
// emulation (a few hundred nanoseconds each), so there all labels cross once as one string and
// a loop over the interpreter's own str methods, which PyPy's JIT compiles, fills the result.
// The dict itself is made empty in C and filled in Python: a dict that crosses into C
// afterwards has every value scanned on the way, one more pass over the whole result.
#include "seating_dict.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>
#include <limits>
#include <string>

#include "convert.hpp"
#include "once.hpp"

namespace tavrin::binding {

namespace {

#ifdef PYPY_VERSION

// Fills the empty dict `seating` from `text`, every label followed by the separator: a str, or
// bytes in UTF-8. Slicing each label out makes one object per label where str.split makes a
// list of them as well. Nothing is kept from one call to the next.
constexpr const char* SPLIT_SOURCE =
    "def fill_seating(seating, text):\n"
    "    if text.__class__ is bytes:\n"
    "        text = text.decode()\n"
    "    separator = text[-1]\n"
    "    start = 0\n"
    "    for number in range(1, text.count(separator) + 1):\n"
    "        end = text.find(separator, start)\n"
    "        seating[number] = text[start:end]\n"
    "        start = end + 1\n";
constexpr const char* SPLIT_FUNCTION = "fill_seating";

// A label is digits and one letter of the first six columns, so one of seven other
// characters is always free to separate labels.
constexpr std::array<char32_t, 7> SEPARATOR_CANDIDATES = {U'\n', U'\t', U' ', U',', U';', U'|', U'/'};

OnceCell split_function;

Ref compile_split_function() {
    const Ref globals = require(PyDict_New());
    require_status(PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins()));
    const Ref done = require(PyRun_String(SPLIT_SOURCE, Py_file_input, globals.get(), globals.get()));
    // Borrowed from globals; the cell keeps its own reference.
    return Ref::own(require_borrowed(PyDict_GetItemString(globals.get(), SPLIT_FUNCTION)));
}

char32_t free_separator(const std::vector<char32_t>& cols) {
    const auto used_end = cols.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(cols.size(), 6));
    for (const char32_t candidate : SEPARATOR_CANDIDATES) {
        if (std::find(cols.begin(), used_end, candidate) == used_end) {
            return candidate;
        }
    }
    // Unreachable: six letters cannot cover seven candidates.
    return SEPARATOR_CANDIDATES.back();
}

// A column letter's UTF-8 bytes and then the separator's: at most eight, copied as one word.
struct LabelEnd {
    std::array<char, 8> bytes{};
    std::size_t size = 0;
};

// Every label followed by the separator, written straight into one buffer: each label is the
// seat's digits and its column's LabelEnd.
std::string labels_text(const std::vector<char32_t>& cols, const SeatMap& seating) {
    std::string separator;
    append_utf8(separator, free_separator(cols));
    std::array<LabelEnd, COLUMNS_PER_ROW> ends;
    for (std::size_t column = 0; column < std::min<std::size_t>(cols.size(), COLUMNS_PER_ROW); ++column) {
        std::string end;
        append_utf8(end, cols[column]);
        end += separator;
        std::copy(end.begin(), end.end(), ends[column].bytes.begin());
        ends[column].size = end.size();
    }
    constexpr std::size_t MOST_DIGITS = 10;
    static_assert(std::numeric_limits<SeatNumber>::digits10 < MOST_DIGITS);
    constexpr std::size_t MOST_PER_LABEL = MOST_DIGITS + sizeof(LabelEnd::bytes);
    std::string text(seating.seat_of.size() * MOST_PER_LABEL, '\0');
    char* out = text.data();
    for (const SeatNumber seat : seating.seat_of) {
        const std::uint64_t column = (std::uint64_t{seat} - 1) % COLUMNS_PER_ROW;
        if (column >= cols.size()) {
            // Fails as every other label would: generate_seating checked the columns already.
            std::string unused;
            append_seat_label(unused, cols, seat);
        }
        out = std::to_chars(out, out + MOST_DIGITS, seat).ptr;
        const LabelEnd& end = ends[static_cast<std::size_t>(column)];
        std::memcpy(out, end.bytes.data(), sizeof end.bytes);
        out += end.size;
    }
    text.resize(static_cast<std::size_t>(out - text.data()));
    return text;
}

// Whether every label is ASCII: digits and separators are.
bool ascii_letters(const std::vector<char32_t>& cols) {
    const auto used = static_cast<std::ptrdiff_t>(std::min<std::size_t>(cols.size(), COLUMNS_PER_ROW));
    return std::all_of(cols.begin(), cols.begin() + used, [](char32_t letter) { return letter < 0x80; });
}

// An ASCII str filled in place. PyPy takes its one-byte data as it is, where a str from UTF-8
// (PyUnicode_FromStringAndSize) is decoded twice and bytes must be decoded by the function.
Ref ascii_str(const std::string& text) {
    Ref str = Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(text.size()), 0x7F));
    if (str) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wold-style-cast"
        std::memcpy(PyUnicode_1BYTE_DATA(str.get()), text.data(), text.size());
#pragma GCC diagnostic pop
    }
    return str;
}

Ref dict_through_text(const std::vector<char32_t>& cols, const SeatMap& seating) {
    PyObject* split = split_function.get_or_init(compile_split_function);
    const std::string text = labels_text(cols, seating);
    const auto size = static_cast<Py_ssize_t>(text.size());
    Ref labels = ascii_letters(cols) ? ascii_str(text) : Ref::steal(PyBytes_FromStringAndSize(text.data(), size));
    if (!labels) {
        throw PendingError::fetch();
    }
    Ref dict = require_result(PyDict_New());
    // One slot before the arguments, which the callee may borrow.
    PyObject* arguments[] = {nullptr, dict.get(), labels.get()};
    const Ref none = require(PyObject_Vectorcall(split, arguments + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    return dict;
}

#endif

Ref dict_item_by_item(const std::vector<char32_t>& cols, const SeatMap& seating) {
    Ref dict = require_result(PyDict_New());
    std::string label;
    for (std::size_t i = 0; i < seating.seat_of.size(); ++i) {
        label.clear();
        append_seat_label(label, cols, seating.seat_of[i]);
        Ref key = make_int(static_cast<std::uint64_t>(i) + 1);
        Ref value = make_str(label);
        require_status(PyDict_SetItem(dict.get(), key.get(), value.get()));
    }
    return dict;
}

}  // namespace

Ref seating_to_dict(const std::vector<char32_t>& cols, const SeatMap& seating) {
#ifdef PYPY_VERSION
    // An empty text would have no separator to read.
    if (!seating.seat_of.empty()) {
        return dict_through_text(cols, seating);
    }
#endif
    return dict_item_by_item(cols, seating);
}

}  // namespace tavrin::binding
