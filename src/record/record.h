#pragma once
// The record: every outcome of every front end (the main window, the bus survey, the command
// line) as one row of a CSV file in the user's data folder (record_format.h), written and flushed
// the moment it happens. Programs that append at the same time take turns under a lock on
// "<file>.lock"; a file that would pass its size limit is set aside as "<name>.1.csv" (the one
// before as ".2", and so on, keeping kKeptOldFiles of them) and a new one begun. When a file
// cannot be set aside, none is: the file grows past its limit until it can, and no old file is
// lost meanwhile.

#include <QDateTime>
#include <QString>
#include <chrono>
#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "engine/outcome.h"
#include "record/record_format.h"

namespace karvello {

class RecordFiles;

// The record's path: $KARVELLO_RECORD when set, else record.csv in the data folder of the
// application "karvello" (QStandardPaths::AppDataLocation), whichever program asks.
QString DefaultRecordPath();

class Record {
 public:
  static constexpr std::int64_t kDefaultSizeLimit = 8 * 1024 * 1024;
  static constexpr int kKeptOldFiles = 3;
  // A program that holds the lock holds it for one row; one that waits longer than this gives up
  // the row rather than hold up its window.
  static constexpr std::chrono::milliseconds kLockWait{2000};

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

  // The rows of the record at `path` and its old files that `query` asks for, oldest file first,
  // all at once (record_read.h reads them as a stream, or from the end). Callable from any
  // thread. `problem`, when given, is set to why a file that is there is not read.
  static std::vector<RecordRow> Read(const QString& path, const RecordQuery& query,
                                     QString* problem = nullptr);
  static std::vector<RecordRow> Read(const QString& path, const QDateTime& from,
                                     const QDateTime& to, const std::set<int>& addresses);
  // The path of old file `n` (1 the newest): "record.csv" gives "record.<n>.csv".
  static QString OldFilePath(const QString& path, int n);
  // The file that writers take turns under: "<path>.lock".
  static QString LockPath(const QString& path);

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
