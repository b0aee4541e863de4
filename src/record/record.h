#pragma once
// The record: every outcome of every front end (the main window, the bus survey, the command
// line) as one row of a CSV file in the user's data folder, written and flushed the moment it
// happens. The file is UTF-8 with a byte-order mark, so that spreadsheets on Windows read its
// Chinese as they should. Programs that append at the same time take turns under a lock on
// "<file>.lock"; a file that would pass its size limit is set aside as "<name>.1.csv" (the one
// before as ".2", and so on, keeping kKeptOldFiles of them) and a new one begun.

#include <QDateTime>
#include <QString>
#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "engine/outcome.h"

namespace karvello {

// The units of the values, as the record, the command line and the published readings give them.
inline constexpr std::string_view kOhmUnit = "\xCE\xA9";  // Ω
inline constexpr std::string_view kVoltUnit = "V";

// The name of a result, as the record and the command line write it: "answered", "refused",
// "wrong-reply", "corrupt", "no-reply", "line-lost", "not-sent".
std::string_view ResultName(Result result);
// "2026-12-07T18:04:06.123+08:00": local time to the millisecond with its offset from UTC.
std::string TimeText(const QDateTime& when);

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

// The column names, and a row as a line of the file: fields quoted where they must be
// (RFC 4180), ended by CR LF.
inline constexpr std::string_view kRecordHeader =
    "time,port,address,operation,result,value,unit,again,sent,reply\r\n";
std::string CsvLine(const RecordRow& row);
// The rows of a record file's text (its byte-order mark and header rows skipped, and any row
// that is not a whole record row).
std::vector<RecordRow> ParseRecord(std::string_view text);

// The record's path: $KARVELLO_RECORD when set, else record.csv in the data folder of the
// application "karvello" (QStandardPaths::AppDataLocation), whichever program asks.
QString DefaultRecordPath();

class Record {
 public:
  static constexpr std::int64_t kDefaultSizeLimit = 8 * 1024 * 1024;
  static constexpr int kKeptOldFiles = 3;

  // Called once, at the first append that fails: the file's path and why it failed.
  using FailureHandler = std::function<void(const QString& path, const QString& reason)>;

  // The file need not exist; its folder is made at the first append.
  explicit Record(QString path, std::int64_t sizeLimit = kDefaultSizeLimit);

  const QString& Path() const { return path_; }
  void SetOnFailure(FailureHandler handler) { onFailure_ = std::move(handler); }

  // Writes the row to the file at once (the BOM and the header first when the file is new or
  // empty) and flushes it to the disk. False when it could not be written: the first failure
  // goes to the failure handler, later ones pass quietly (a later append may succeed again).
  bool Append(const RecordRow& row);
  bool Append(const Outcome& outcome, const std::string& port, const QDateTime& when);

  // Whether an append has failed.
  bool Failed() const { return failed_; }

  // The rows of the record at `path` and its old files, oldest first, made from `from` to `to`
  // (either bound invalid: open on that side) for `addresses` (empty: every address).
  static std::vector<RecordRow> Read(const QString& path, const QDateTime& from,
                                     const QDateTime& to, const std::set<int>& addresses);
  // The path of old file `n` (1 the newest): "record.csv" gives "record.<n>.csv".
  static QString OldFilePath(const QString& path, int n);

 private:
  bool Write(const std::string& line, QString& reason);

  QString path_;
  std::int64_t sizeLimit_;
  FailureHandler onFailure_;
  bool failed_ = false;
};

}  // namespace karvello
