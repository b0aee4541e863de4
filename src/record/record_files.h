#pragma once
// The file operations by which the record sets its old files aside at its size limit. They are
// apart so that a test can make one of them fail as the system would (a spreadsheet holding a
// file open on Windows), which cannot be staged for real where the tests run as root.

#include <QString>

namespace karvello {

class RecordFiles {
 public:
  virtual ~RecordFiles() = default;

  virtual bool Exists(const QString& path);
  // Whether `path` can be renamed, as far as can be told without renaming it: on Windows, false
  // while another program holds it open without sharing its deletion, as Excel does.
  virtual bool MayRename(const QString& path, QString& reason);
  // Renames `from` to `to`, which must not exist: nothing is ever replaced.
  virtual bool Rename(const QString& from, const QString& to, QString& reason);
  virtual bool Remove(const QString& path, QString& reason);

  // The system's own operations, as every record uses them unless told otherwise.
  static RecordFiles& System();
};

}  // namespace karvello
