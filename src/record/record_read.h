#pragma once
// The record read in memory that does not grow with it: from its start as a stream, row by row
// (its old files first), or from its end back, newest row first, until the asker has what it
// wants. Callable from any thread. The files are opened under the writers' lock, all at one
// moment, and read after it is let go, so a writer waits for the opening only; a row being
// appended meanwhile is left out. On Windows they are opened sharing their deletion, so a reader
// keeps no writer from setting a file aside. A file that is not a regular file is not read (nor
// waited for).

#include <QString>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <vector>

#include "record/record_format.h"

namespace karvello {

// What a reading met besides the rows.
struct ReadReport {
  std::int64_t damaged = 0;  // lines that held no whole row, or a row not as Karvello writes it
  // A file that is there but could not be read, and why: "<path>: <why>"; empty for none.
  QString problem;
};

// Gives `sink` the rows of the record at `path` and its old files that `query` asks for, oldest
// file first (with one more old file, "<name>.<kKeptOldFiles + 1>.csv", while a setting aside
// that was cut short left it), each in its order.
ReadReport ReadRecordRows(const QString& path, const RecordQuery& query,
                          const RecordParser::Sink& sink);

class FileForReading;

// The same rows as ReadRecordRows gives, in the same order, taken one at a time at the taker's
// pace: a file's chunk is read when the rows read before are taken, so memory holds one chunk's
// rows at most. The files are opened (under the writers' lock, at one moment) when it is made;
// rows appended to them later are read too, while a file begun after a setting aside is not.
class RecordStream {
 public:
  RecordStream(const QString& path, const RecordQuery& query);
  ~RecordStream();
  RecordStream(const RecordStream&) = delete;
  RecordStream& operator=(const RecordStream&) = delete;

  // The next row into `row`; false at the end.
  bool Next(RecordRow& row);
  // Damaged lines met so far, and a file that could not be read.
  ReadReport Report() const;

 private:
  std::vector<std::unique_ptr<FileForReading>> files_;
  RecordParser parser_;
  QString problem_;
  std::size_t file_ = 0;
  bool begun_ = false;
  std::int64_t at_ = 0;
  std::string text_;
  std::deque<RecordRow> rows_;
};

// Gives `visit` the rows that `query` asks for from the end of the record back: the newest file's
// last row first. It ends when `visit` says false, at the record's start, or once `bound` bytes
// have been read.
using BackVisitor = std::function<bool(RecordRow&& row)>;
ReadReport ReadRecordBack(const QString& path, const RecordQuery& query, const BackVisitor& visit,
                          std::int64_t bound);

// Rows in the order of their times, from rows that come nearly so (programs on one machine take
// turns at the record; old files and several programs may leave them a little apart): up to
// kWindow rows are held and the earliest let go, each time for equal times in the order they
// came. A row earlier than one already let go follows at once.
class TimeOrder {
 public:
  static constexpr std::size_t kWindow = 4096;

  explicit TimeOrder(RecordParser::Sink sink) : sink_(std::move(sink)) {}
  void Add(RecordRow&& row);
  // Lets go of every row held.
  void Flush();

 private:
  RecordParser::Sink sink_;
  std::deque<RecordRow> held_;
};

}  // namespace karvello
