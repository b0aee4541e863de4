#include "record/record_files.h"

#include <QFile>
#include <QFileInfo>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#endif

namespace karvello {
namespace {

#ifdef Q_OS_WIN
const wchar_t* Wide(const QString& path) {
  return reinterpret_cast<const wchar_t*>(path.utf16());
}

QString LastError() {
  return qt_error_string(static_cast<int>(GetLastError()));
}
#endif

}  // namespace

bool RecordFiles::Exists(const QString& path) {
  return QFileInfo::exists(path);
}

bool RecordFiles::MayRename(const QString& path, QString& reason) {
#ifdef Q_OS_WIN
  // Opening it for deletion is refused while a holder does not share that.
  const HANDLE file =
      CreateFileW(Wide(path), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    reason = LastError();
    return false;
  }
  CloseHandle(file);
#else
  // Here a holder never stands in the way; what does (an immutable file, say) shows on trying.
  Q_UNUSED(path);
  Q_UNUSED(reason);
#endif
  return true;
}

bool RecordFiles::Rename(const QString& from, const QString& to, QString& reason) {
#ifdef Q_OS_WIN
  if (MoveFileExW(Wide(from), Wide(to), MOVEFILE_WRITE_THROUGH) == 0) {
    reason = LastError();
    return false;
  }
#else
  // Under the record's lock no other Karvello program makes `to` between the look and the rename.
  if (Exists(to)) {
    reason = qt_error_string(EEXIST);
    return false;
  }
  if (std::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) != 0) {
    reason = qt_error_string(errno);
    return false;
  }
#endif
  return true;
}

bool RecordFiles::Remove(const QString& path, QString& reason) {
#ifdef Q_OS_WIN
  if (DeleteFileW(Wide(path)) == 0) {
    reason = LastError();
    return false;
  }
#else
  if (::unlink(QFile::encodeName(path).constData()) != 0) {  // a file, never a folder
    reason = qt_error_string(errno);
    return false;
  }
#endif
  return true;
}

RecordFiles& RecordFiles::System() {
  static RecordFiles system;
  return system;
}

}  // namespace karvello
