#pragma once
// CSV as every export of Karvello writes and reads it (RFC 4180): fields separated by commas, a
// field quoted when it holds a comma, a quote, a carriage return or a line feed, its quotes
// doubled.

#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace karvello {

// Files for spreadsheets begin with it: Excel reads UTF-8 (the Chinese, "Ω") only after it.
inline constexpr std::string_view kUtf8ByteOrderMark = "\xEF\xBB\xBF";

std::string CsvField(std::string_view text);
// The fields as one line, ended by `lineEnd` (CR LF for files that spreadsheets open, LF for a
// terminal's output).
std::string CsvLine(std::initializer_list<std::string_view> fields, std::string_view lineEnd);
std::string CsvLine(const std::vector<std::string>& fields, std::string_view lineEnd);

// The records of CSV text: quoted fields may hold commas, doubled quotes and line ends; lines
// end by CR LF or LF. A last line without its line end is left out: a row cut short as it was
// written.
std::vector<std::vector<std::string>> SplitCsv(std::string_view text);

}  // namespace karvello
