#pragma once
// The record's file operations with failures put in, as a spreadsheet holding a file open
// gives them: the files held cannot be renamed, told before trying or only on trying.

#include <QSet>
#include <functional>

#include "record/record_files.h"

namespace karvello {

class FailingRecordFiles : public RecordFiles {
 public:
  // The files that may not be renamed, as told before trying.
  QSet<QString> held;
  // Whether a rename from one path to another fails when tried; none: every rename works.
  std::function<bool(const QString& from, const QString& to)> renameFails;

  bool MayRename(const QString& path, QString& reason) override {
    if (!held.contains(path)) return RecordFiles::MayRename(path, reason);
    reason = QStringLiteral("held open by another program");
    return false;
  }
  bool Rename(const QString& from, const QString& to, QString& reason) override {
    if (!renameFails || !renameFails(from, to)) return RecordFiles::Rename(from, to, reason);
    reason = QStringLiteral("in use");
    return false;
  }
};

}  // namespace karvello
