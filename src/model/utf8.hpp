// UTF-8 for single code points: the column letters travel between Python and the model as
// UTF-8 text, and seat labels are UTF-8.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tavrin {

// Appends the UTF-8 encoding of one code point (1 to 4 bytes).
void append_utf8(std::string& out, char32_t code_point);

// Splits well-formed UTF-8 text (as the interpreter hands it out) into its code points.
// Returns nothing when the text is not well-formed.
std::optional<std::vector<char32_t>> decode_utf8(std::string_view text);

}  // namespace tavrin
