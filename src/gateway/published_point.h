#pragma once
// How far into the record a watch's broker has acknowledged: a place in the record, and the small
// file beside the record that keeps it across a restart. The place is a row, named by its time and
// a digest of its line in the file, which stay the same whichever file holds it after the record
// sets its files aside; rows of one time are told apart by their digest.

#include <QDateTime>
#include <QString>
#include <string>
#include <string_view>

#include "record/record_row.h"

namespace karvello::gateway {

struct RecordPoint {
  QDateTime time;      // invalid: the record's start, before its first row
  std::string digest;  // of the row's line as the record writes it; empty at the start
  bool AtStart() const { return !time.isValid(); }
  bool operator==(const RecordPoint& other) const {
    return AtStart() == other.AtStart() &&
           (AtStart() || (time == other.time && digest == other.digest));
  }
};

// The place of `row` (the row there, the record having it).
RecordPoint PointOf(const RecordRow& row);

// The file's text: three lines, "karvello-published 1", the time as the record writes it (or
// "start"), the digest (or "-").
std::string PointText(const RecordPoint& point);

struct PointFile {
  enum class State {
    kMissing,  // no such file: a first start
    kDamaged,  // there, and not as PointText writes it (`problem` says how)
    kRead,
  };
  State state = State::kMissing;
  RecordPoint point;
  std::string problem;
};
PointFile ReadPointFile(const QString& path);

// Writes `text` (a PointText) to `path` whole or not at all: into a file of its own beside it
// ("<path>.new"), brought to the disk first with `sync`, then renamed over it. False, with
// `problem` set, when it could not be (the old file left as it was). One file for POSIX systems
// (point_file_posix.cpp), one for Windows (point_file_win.cpp).
bool WritePointFile(const QString& path, const std::string& text, bool sync,
                    std::string* problem);

// The file of a watch on `port` publishing under `prefix`, beside the record at `recordPath`:
// "<record>.published-<8 hex digits>", one for each watch the record is shared by.
QString PointPath(const QString& recordPath, std::string_view port, std::string_view prefix);

}  // namespace karvello::gateway
