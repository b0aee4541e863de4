#pragma once
// The record's format: an outcome as one row of a CSV file and back. The file is UTF-8 with a
// byte-order mark, so that spreadsheets on Windows read its Chinese as they should, then the
// header, then a row per line, each ended by CR LF.

#include <QDateTime>
#include <QtGlobal>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "engine/operations.h"
#include "engine/outcome.h"
#include "present/times.h"

namespace karvello {

class CsvReader;

// One row of the record, its fields as the file holds them.
struct RecordRow {
  QDateTime time;         // local time, with its offset from UTC
  std::string port;       // "COM1", or the device
  int address = 0;        // as requested; 0 for the query of the address
  std::string operation;  // Describe(operation).name: "set-address", "voltage", ...
  std::string result;     // ResultName(result)
  std::string value;      // "34.5", "OL" (over range), "220", "5"; empty when none
  std::string unit;       // "Ω" for a resistance, "V" for a voltage; empty otherwise
  bool again = false;     // a late or repeated reply of an operation that had ended
  std::string sent;       // the frames in hex, "05 03 00 0F 00 01 B5 8D", joined by " | "
  std::string reply;      // the reply's bytes in hex
  bool operator==(const RecordRow&) const = default;
};

// The row of `outcome`, which happened on `port` at `when`.
RecordRow RowOf(const Outcome& outcome, const std::string& port, const QDateTime& when);

// The value field of a reading as the record writes it ("34.5", "OL", "220", "5") read back; none
// when it is no such value.
std::optional<Reading> ReadingOf(std::string_view value);

// The column names, and a row as a line of the file: fields quoted where they must be
// (RFC 4180), ended by CR LF.
inline constexpr std::string_view kRecordHeader =
    "time,port,address,operation,result,value,unit,again,sent,reply\r\n";
std::string CsvLine(const RecordRow& row);

// Which rows to read: those made from `from` to `to` (either bound invalid: open on that side),
// for `addresses` (empty: every address) and `operations` (empty: every operation).
struct RecordQuery {
  QDateTime from = {};
  QDateTime to = {};
  std::set<int> addresses = {};
  std::set<Operation> operations = {};
};

// The rows of a record file's text that `query` asks for, in the file's order: its byte-order
// mark and header skipped, and every line that does not hold a whole record row. A row begins
// at the start of a line and ends at its line end; a quoted field may hold line ends, but a line
// that begins with a time (as the record writes them, "2026-12-07T18:04:06") always begins a row
// of its own. So a row cut short by a crash, or a quote left open, costs that row only: reading
// goes on at the next line. A row that was appended onto a cut one, on the same line, is read
// too. A last line without its line end is left out (a row cut short, or being written).
std::vector<RecordRow> ParseRecord(std::string_view text, const RecordQuery& query = {});

// ParseRecord over many texts (a record and its old files) into one list: the query is made
// ready once, and the rows of each text are appended in turn.
class RecordParser {
 public:
  // `query` must outlive the parser.
  explicit RecordParser(const RecordQuery& query);

  // Appends the rows of `text` that the query asks for to `rows`, as ParseRecord reads them.
  void AppendRows(std::string_view text, std::vector<RecordRow>& rows) const;

 private:
  // Whether the reader's fields are a whole record row; if so, and the query asks for it, it is
  // appended to `rows`, made only then.
  bool Take(const CsvReader& fields, std::vector<RecordRow>& rows) const;

  std::optional<qint64> from_;
  std::optional<qint64> to_;
  const std::set<int>& addresses_;
  std::vector<std::string_view> operations_;
};

}  // namespace karvello
