#pragma once
// The record's format: a row (record_row.h) as one line of a CSV file and back. The file is
// UTF-8 with a byte-order mark, so that spreadsheets on Windows read its Chinese as they should,
// then the header, then a row per line, each ended by CR LF.

#include <QDateTime>
#include <QtGlobal>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "engine/operations.h"
#include "record/record_row.h"

namespace karvello {

class CsvReader;

// The column names, and a row as a line of the file: fields quoted where they must be
// (RFC 4180), ended by CR LF.
inline constexpr std::string_view kRecordHeader =
    "time,port,address,operation,result,value,unit,again,sent,reply\r\n";
std::string CsvLine(const RecordRow& row);
// The row as a line of an export for spreadsheets: as CsvLine, but a port that a spreadsheet would
// run as a formula is written as text (SpreadsheetText).
std::string ExportLine(const RecordRow& row);

// How far ahead of the reader's clock a row may be dated and still be read: the clocks of
// programs on one machine, or a clock set back a little by its time service. A row dated later
// is damaged.
inline constexpr std::chrono::minutes kLargestClockSkew{10};

// The longest line a row of the record can take (a port's name, two frames of a few bytes and a
// reply); a longer run of text without a row in it is damaged, and is not kept in memory whole.
inline constexpr std::size_t kLongestRow = 64 * 1024;

// Whether `line` begins with a time as the record writes it, to the second:
// "2026-12-07T18:04:06". Such a line always begins a row.
bool BeginsWithRowTime(std::string_view line);

// Which rows to read: those made from `from` to `to` (either bound invalid: open on that side),
// for `addresses` (empty: every address) and `operations` (empty: every operation; alarms are
// read only with none named). `now` (invalid: the clock's time as reading begins) is the time
// past which, with kLargestClockSkew, a row is damaged.
struct RecordQuery {
  QDateTime from = {};
  QDateTime to = {};
  std::set<int> addresses = {};
  std::set<Operation> operations = {};
  QDateTime now = {};
};

// Reads the rows of a record file's text that a query asks for, in the file's order, and counts
// the damaged lines. The byte-order mark and the header are skipped, and so is every line that
// does not hold a whole row, counted as damaged. A row begins at the start of a line and ends at
// its line end; a quoted field may hold line ends (and CRs, kept as they are), but a line that
// begins with a time (as the record writes them, "2026-12-07T18:04:06") always begins a row of
// its own. So a row cut short by a crash, or a quote left open, costs that row only: reading goes
// on at the next line. A row that was appended onto a cut one, on the same line, is read too. A
// row whose fields do not agree (Consistent), or dated past now, is damaged. A last line without
// its line end is left out, not counted (a row cut short, or being written).
class RecordParser {
 public:
  using Sink = std::function<void(RecordRow&& row)>;

  explicit RecordParser(const RecordQuery& query);

  // A new text (a file) begins: its byte-order mark is skipped.
  void BeginText();
  // Reads the rows of `text`, the text's next part, giving each one asked for to `sink`. With
  // `more`, more of the text follows: reading stops before a last row that is not yet whole, and
  // the returned position is where the next call's text must begin (what is before it was read).
  // Without, the text ends here, and all of it is read. A run of more than kLongestRow bytes
  // without a whole row is given up as damaged, up to its next line end.
  std::size_t Parse(std::string_view text, bool more, const Sink& sink);

  // The damaged lines met since the parser was made.
  std::int64_t Damaged() const { return damaged_; }

 private:
  enum class Taken { kRow, kNotAsked, kNotRow, kDamaged };
  Taken Take(const CsvReader& fields, const Sink& sink) const;

  std::optional<qint64> from_;
  std::optional<qint64> to_;
  qint64 latest_;
  std::set<int> addresses_;
  std::set<Operation> operations_;
  bool textStart_ = true;
  bool skipLine_ = false;  // within a line given up, to be skipped to its end
  std::int64_t damaged_ = 0;
};

// The rows of a whole record file's text that `query` asks for, as RecordParser reads them.
std::vector<RecordRow> ParseRecord(std::string_view text, const RecordQuery& query = {});

}  // namespace karvello
