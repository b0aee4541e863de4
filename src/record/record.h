#pragma once
// The record: every outcome of every front end (the main window, the bus survey, the command
// line) as one row of a CSV file in the user's data folder, written and flushed the moment it
// happens. The file is UTF-8 with a byte-order mark, so that spreadsheets on Windows read its
// Chinese as they should. Programs that append at the same time take turns under a lock on
// "<file>.lock"; a file that would pass its size limit is set aside as "<name>.1.csv" (the one
// before as ".2", and so on, keeping kKeptOldFiles of them) and a new one begun. When a file
// cannot be set aside, none is: the file grows past its limit until it can, and no old file is
// lost meanwhile.

#include <QDateTime>
#include <QString>
#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "engine/operations.h"
#include "engine/outcome.h"
#include "present/times.h"

namespace karvello {

class RecordFiles;

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

// The record's path: $KARVELLO_RECORD when set, else record.csv in the data folder of the
// application "karvello" (QStandardPaths::AppDataLocation), whichever program asks.
QString DefaultRecordPath();

class Record {
 public:
  static constexpr std::int64_t kDefaultSizeLimit = 8 * 1024 * 1024;
  static constexpr int kKeptOldFiles = 3;

  // What the record tells the front ends, once each time its state changes: an outage begins
  // (the first append that fails, and why) and ends (the first append kept again, with the rows
  // not kept meanwhile); the file cannot be set aside at its size limit and grows past it (why),
  // and later it is within its limit again, set aside at last or made smaller by someone else.
  struct Notice {
    enum class Kind { kNotWritten, kWrittenAgain, kNotRotated, kRotatedAgain };
    Kind kind;
    QString path;
    QString reason;                // kNotWritten, kNotRotated: why, as the system says it
    std::int64_t rowsNotKept = 0;  // kNotWritten: 1, the row that failed; kWrittenAgain: all
    // Whether it tells of a fault, which lasts until a notice of its end.
    bool IsFault() const { return kind == Kind::kNotWritten || kind == Kind::kNotRotated; }
  };
  using NoticeHandler = std::function<void(const Notice& notice)>;

  // The file need not exist; its folder is made at the first append. `files` (the system's
  // unless given) must outlive the record.
  explicit Record(QString path, std::int64_t sizeLimit = kDefaultSizeLimit);
  Record(QString path, std::int64_t sizeLimit, RecordFiles& files);

  const QString& Path() const { return path_; }
  void SetOnNotice(NoticeHandler handler) { onNotice_ = std::move(handler); }

  // Writes the row to the file at once (the BOM and the header first when the file is new or
  // empty; a line end first when the file does not end with one, after a row cut short) and
  // flushes it to the disk. False when it could not be written, among others when the path is
  // not a regular file (a FIFO, a device, a folder); the rows not kept are counted until an
  // append succeeds again.
  bool Append(const RecordRow& row);
  bool Append(const Outcome& outcome, const std::string& port, const QDateTime& when);

  // Whether the last append failed, and the rows not kept since the last one that succeeded.
  bool Failed() const { return rowsNotKept_ > 0; }
  std::int64_t RowsNotKept() const { return rowsNotKept_; }
  // Whether the file is past its size limit because it could not be set aside.
  bool NotRotated() const { return notRotated_; }

  // The rows of the record at `path` and its old files that `query` asks for, oldest first
  // (with one more old file, "<name>.<kKeptOldFiles + 1>.csv", while a setting aside that was
  // cut short left it). Callable from any thread. The files are opened under the writers' lock,
  // all at one moment, and read after it is let go, so a writer waits for the opening only; a
  // row being appended meanwhile is left out. On Windows they are opened sharing their deletion,
  // so a reader keeps no writer from setting a file aside. A file that is not a regular file is
  // not read (nor waited for); `problem`, when given, is then set to why, as it is when a file
  // is there but cannot be opened.
  static std::vector<RecordRow> Read(const QString& path, const RecordQuery& query,
                                     QString* problem = nullptr);
  static std::vector<RecordRow> Read(const QString& path, const QDateTime& from,
                                     const QDateTime& to, const std::set<int>& addresses);
  // The path of old file `n` (1 the newest): "record.csv" gives "record.<n>.csv".
  static QString OldFilePath(const QString& path, int n);

 private:
  bool Write(const std::string& line, QString& reason);
  // Sets the file aside as old file 1, the old ones each one further up to the first free
  // place (with none, the oldest is deleted once the others have moved); false when that cannot
  // be done, no file deleted and the renames made taken back as far as they can be.
  bool Rotate(QString& reason);
  void Tell(Notice::Kind kind, const QString& reason = {});

  QString path_;
  std::int64_t sizeLimit_;
  RecordFiles& files_;
  NoticeHandler onNotice_;
  std::int64_t rowsNotKept_ = 0;
  bool notRotated_ = false;
};

}  // namespace karvello
