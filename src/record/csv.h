#pragma once
// CSV as every export of Karvello writes and reads it (RFC 4180): fields separated by commas, a
// field quoted when it holds a comma, a quote, a carriage return or a line feed, its quotes
// doubled.

#include <cstddef>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace karvello {

// Files for spreadsheets begin with it: Excel reads UTF-8 (the Chinese, "Ω") only after it.
inline constexpr std::string_view kUtf8ByteOrderMark = "\xEF\xBB\xBF";

std::string CsvField(std::string_view text);
// A text as a cell a spreadsheet shows and never runs: one that begins with "=", "+", "-", "@", a
// tab or a CR (a formula, or one after them) is written after a "'", which spreadsheets take as
// the mark of text. Any other text is as it is.
std::string SpreadsheetText(std::string_view text);
// The fields as one line, ended by `lineEnd` (CR LF for files that spreadsheets open, LF for a
// terminal's output).
std::string CsvLine(std::initializer_list<std::string_view> fields, std::string_view lineEnd);
std::string CsvLine(const std::vector<std::string>& fields, std::string_view lineEnd);

// Where the first line end (CR or LF) at or after `from` is; npos when there is none. As fast as
// memchr: a long run without one (a damaged file) is passed over at the speed of memory.
std::size_t FindLineEnd(std::string_view text, std::size_t from);

// Reads CSV text one record at a time. Lines end by CR LF, LF or CR; quoted fields may hold
// commas, doubled quotes and line ends. The fields' buffers are kept from one record to the next,
// so that a long text is read without an allocation per field.
class CsvReader {
 public:
  // Whether a line (the text from its start on) must begin a record of its own.
  using LineTest = bool (*)(std::string_view line);

  // With `beginsRecord`, a quoted field that is still open at a line end before such a line
  // does not run on into it: the record is left unfinished there. Without, quoted fields run on
  // over any line end.
  explicit CsvReader(std::string_view text, LineTest beginsRecord = nullptr)
      : text_(text), beginsRecord_(beginsRecord) {}

  // Reads the record that begins at `pos` and moves `pos` past its line end. False, `pos` left
  // as it was, when the record is not whole: the text ends before its line end (a last line cut
  // short, or a quote never closed), or a quote is open at a line end before a line that begins
  // a record.
  // With `runOn`, quoted fields run on over any line end, as without `beginsRecord`. A record
  // that does not end before `limit` is not whole (nor ran out, when the text goes on past it).
  bool Next(std::size_t& pos, bool runOn = false, std::size_t limit = std::string_view::npos);
  // Whether the last Next failed because the text ended before the record did (more text could
  // make it whole), rather than at a line that begins a record.
  bool RanOut() const { return ranOut_; }
  // The fields of the record read last, their quotes undone; none for a blank line.
  std::size_t FieldCount() const { return count_; }
  std::string_view Field(std::size_t i) const { return fields_[i]; }

  // Where the line after the one that `pos` is on begins; npos when there is none.
  std::size_t LineAfter(std::size_t pos) const;

 private:
  std::string& NewField();

  std::string_view text_;
  LineTest beginsRecord_;
  std::vector<std::string> fields_;
  std::size_t count_ = 0;
  bool ranOut_ = false;
};

// The records of CSV text, each a list of fields. A last line without its line end is left out:
// a row cut short as it was written.
std::vector<std::vector<std::string>> SplitCsv(std::string_view text);

}  // namespace karvello
