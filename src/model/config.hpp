// The configuration of one flight: how many passengers board, how many seats the cabin
// has, and the letters that name the seat columns. Plain value type; copying it copies the
// column list. The constructor's invariant passengers <= seats is enforced by the Python
// constructor only: attribute assignment may break it, and the operations report that.
#pragma once

#include <cstdint>
#include <vector>

namespace tavrin {

struct Planes {
    // One Unicode code point per column; seat k uses cols[(k - 1) % 6].
    std::vector<char32_t> cols;
    std::uint64_t passengers = 0;
    std::uint64_t seats = 0;
};

inline constexpr std::uint64_t DEFAULT_PASSENGERS = 100;
inline constexpr std::uint64_t DEFAULT_SEATS = 100;
inline constexpr char32_t DEFAULT_COLS[] = {U'A', U'B', U'C', U'D', U'E', U'F'};

// The number of column letters that seat labels can ever use.
inline constexpr std::uint64_t COLUMNS_PER_ROW = 6;

}  // namespace tavrin
