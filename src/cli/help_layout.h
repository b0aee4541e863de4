#pragma once
// How the command line's help is laid out: a name on the left, its text in a column.

#include <cstddef>
#include <string>
#include <string_view>

namespace karvello::cli {

// A line of help: `left` then `text` from `column` on (on the next line when `left` is longer;
// two spaces after a `left` that fills the column), the text's further lines indented to it.
std::string HelpLine(const std::string& left, std::string_view text, std::size_t column);

}  // namespace karvello::cli
