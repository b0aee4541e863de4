// The acknowledged place's file replaced whole on Windows: a file of its own beside it, written,
// brought to the disk when asked, and moved over it (MoveFileExW replacing it).

#include <windows.h>

#include <QString>
#include <string>

#include "gateway/published_point.h"

namespace karvello::gateway {
namespace {

std::string LastError(const char* what) {
  const DWORD code = GetLastError();
  return std::string(what) + ": " + qt_error_string(static_cast<int>(code)).toStdString();
}

}  // namespace

bool WritePointFile(const QString& path, const std::string& text, bool sync,
                    std::string* problem) {
  const std::wstring target = path.toStdWString();
  const std::wstring temporary = target + L".new";
  const HANDLE file = CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    if (problem) *problem = LastError("cannot make its new copy");
    return false;
  }
  DWORD written = 0;
  bool ok = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) != 0 &&
            written == text.size() && (!sync || FlushFileBuffers(file) != 0);
  if (!ok && problem) *problem = LastError("cannot write its new copy");
  CloseHandle(file);
  if (ok && MoveFileExW(temporary.c_str(), target.c_str(),
                        MOVEFILE_REPLACE_EXISTING | (sync ? MOVEFILE_WRITE_THROUGH : 0)) == 0) {
    if (problem) *problem = LastError("cannot put its new copy in its place");
    ok = false;
  }
  if (!ok) DeleteFileW(temporary.c_str());
  return ok;
}

}  // namespace karvello::gateway
