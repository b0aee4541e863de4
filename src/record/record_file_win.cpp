// The record's files on Windows: LockFileEx for the lock, FlushFileBuffers for the rows, and
// every file opened sharing reading, writing and deletion, so that no holder keeps another
// program from appending or from setting a file aside.

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <QThread>
#include <algorithm>

#include "record/record_file.h"

namespace karvello {
namespace {

HANDLE Handle(std::intptr_t file) {
  return reinterpret_cast<HANDLE>(file);
}

std::intptr_t Kept(HANDLE handle) {
  return reinterpret_cast<std::intptr_t>(handle);
}

const wchar_t* Wide(const QString& path) {
  return reinterpret_cast<const wchar_t*>(path.utf16());
}

}  // namespace

FileLock::FileLock(const QString& path, std::chrono::milliseconds wait) {
  const auto deadline = std::chrono::steady_clock::now() + wait;
  const HANDLE handle = CreateFileW(Wide(path), GENERIC_READ | GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    error_ = QStringLiteral("cannot open the lock file %1: %2")
                 .arg(path, qt_error_string(static_cast<int>(GetLastError())));
    return;
  }
  file_ = Kept(handle);
  OVERLAPPED whole{};
  while (!(held_ = LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0,
                              &whole) != 0)) {
    if (std::chrono::steady_clock::now() > deadline) break;
    QThread::msleep(1);
  }
  if (!held_) {
    error_ = QStringLiteral("another program held %1 for over %2 ms").arg(path).arg(wait.count());
  }
}

FileLock::~FileLock() {
  if (Handle(file_) != INVALID_HANDLE_VALUE) CloseHandle(Handle(file_));  // and with it the lock
}

bool AppendToFile(const QString& path, std::string_view head, std::string_view line,
                  QString& reason) {
  const HANDLE file = CreateFileW(Wide(path), GENERIC_READ | GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    reason = qt_error_string(static_cast<int>(GetLastError()));
    return false;
  }
  if (GetFileType(file) != FILE_TYPE_DISK) {
    reason = NotRegularFileText();
    CloseHandle(file);
    return false;
  }
  LARGE_INTEGER end{};
  char last = '\n';
  DWORD got = 0;
  bool done = GetFileSizeEx(file, &end) != 0;
  if (done && end.QuadPart > 0) {
    LARGE_INTEGER before{};
    before.QuadPart = end.QuadPart - 1;
    done = SetFilePointerEx(file, before, nullptr, FILE_BEGIN) != 0 &&
           ::ReadFile(file, &last, 1, &got, nullptr) != 0 && got == 1;
  }
  std::string bytes;
  if (done) bytes = AppendedBytes(end.QuadPart, last, head, line);
  DWORD written = 0;
  done = done && SetFilePointerEx(file, end, nullptr, FILE_BEGIN) != 0 &&
         WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) != 0 &&
         written == bytes.size() && FlushFileBuffers(file) != 0;
  if (!done) {
    reason = qt_error_string(static_cast<int>(GetLastError()));
    if (SetFilePointerEx(file, end, nullptr, FILE_BEGIN) != 0) SetEndOfFile(file);
  }
  CloseHandle(file);
  return done;
}

FileForReading::FileForReading(const QString& path, QString* problem) {
  const HANDLE handle =
      CreateFileW(Wide(path), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) {
      Say(problem, path, qt_error_string(static_cast<int>(error)));
    }
  } else if (GetFileType(handle) != FILE_TYPE_DISK) {
    Say(problem, path, NotRegularFileText());
    CloseHandle(handle);
  } else {
    file_ = Kept(handle);
    LARGE_INTEGER size{};
    if (GetFileSizeEx(handle, &size) != 0) size_ = size.QuadPart;
  }
}

FileForReading::~FileForReading() {
  if (Handle(file_) != INVALID_HANDLE_VALUE) CloseHandle(Handle(file_));
}

std::size_t FileForReading::ReadAt(char* into, std::size_t count, std::int64_t at) {
  if (Handle(file_) == INVALID_HANDLE_VALUE) return 0;
  // A synchronous handle reads from the offset that OVERLAPPED names.
  OVERLAPPED from{};
  from.Offset = static_cast<DWORD>(static_cast<std::uint64_t>(at) & 0xFFFFFFFFU);
  from.OffsetHigh = static_cast<DWORD>(static_cast<std::uint64_t>(at) >> 32);
  DWORD n = 0;
  const DWORD ask = static_cast<DWORD>(std::min<std::size_t>(count, 1U << 30));
  if (::ReadFile(Handle(file_), into, ask, &n, &from) == 0) return 0;
  return n;
}

}  // namespace karvello
