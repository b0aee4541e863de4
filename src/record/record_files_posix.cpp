// The record's setting aside of old files on POSIX systems.

#include <unistd.h>

#include <QFile>
#include <cerrno>
#include <cstdio>

#include "record/record_files.h"

namespace karvello {

bool RecordFiles::MayRename(const QString& path, QString& reason) {
  // Here a holder never stands in the way; what does (an immutable file, say) shows on trying.
  Q_UNUSED(path);
  Q_UNUSED(reason);
  return true;
}

bool RecordFiles::Rename(const QString& from, const QString& to, QString& reason) {
  // Under the record's lock no other Karvello program makes `to` between the look and the rename.
  if (Exists(to)) {
    reason = qt_error_string(EEXIST);
    return false;
  }
  if (std::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) != 0) {
    reason = qt_error_string(errno);
    return false;
  }
  return true;
}

bool RecordFiles::Remove(const QString& path, QString& reason) {
  if (::unlink(QFile::encodeName(path).constData()) != 0) {  // a file, never a folder
    reason = qt_error_string(errno);
    return false;
  }
  return true;
}

}  // namespace karvello
