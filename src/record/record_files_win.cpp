// The record's setting aside of old files on Windows, where a program holding a file open
// without sharing its deletion (as Excel does) keeps it from being renamed.

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include "record/record_files.h"

namespace karvello {
namespace {

const wchar_t* Wide(const QString& path) {
  return reinterpret_cast<const wchar_t*>(path.utf16());
}

QString LastError() {
  return qt_error_string(static_cast<int>(GetLastError()));
}

}  // namespace

bool RecordFiles::MayRename(const QString& path, QString& reason) {
  // Opening it for deletion is refused while a holder does not share that.
  const HANDLE file =
      CreateFileW(Wide(path), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    reason = LastError();
    return false;
  }
  CloseHandle(file);
  return true;
}

bool RecordFiles::Rename(const QString& from, const QString& to, QString& reason) {
  if (MoveFileExW(Wide(from), Wide(to), MOVEFILE_WRITE_THROUGH) == 0) {
    reason = LastError();
    return false;
  }
  return true;
}

bool RecordFiles::Remove(const QString& path, QString& reason) {
  if (DeleteFileW(Wide(path)) == 0) {
    reason = LastError();
    return false;
  }
  return true;
}

}  // namespace karvello
