#pragma once
// The record's files as the system holds them: the lock that writers take turns under, the
// durable append of one row, and the opening and reading of a file while others write it. One
// file for POSIX systems (record_file_posix.cpp) and one for Windows (record_file_win.cpp), the
// build choosing; what both share is in record_file.cpp.

#include <QString>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

namespace karvello {

// Why a file that is there is neither written nor read: "not a regular file".
QString NotRegularFileText();
// The same, naming what it is: "a folder, not a regular file", "a FIFO, ...", "a device, ...",
// "a socket, ...".
enum class FileKind { kFolder, kFifo, kDevice, kSocket, kOther };
QString NotRegularFileText(FileKind kind);

// An exclusive lock on a file of its own (made when absent), held while this lives. Unlike the
// record itself, that file is never renamed, so a program that waited for it finds the record
// that is current when it gets it.
class FileLock {
 public:
  // Waits at most `wait` for another holder to let go.
  FileLock(const QString& path, std::chrono::milliseconds wait);
  ~FileLock();
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

  bool Held() const { return held_; }
  // Why it is not held: as the system says it, or that another program held it too long.
  const QString& Error() const { return error_; }

 private:
  std::intptr_t file_ = -1;  // the descriptor, or the handle; -1 (INVALID_HANDLE_VALUE) for none
  bool held_ = false;
  QString error_;
};

// Appends `line` to the file at `path` (made when absent) in one write and brings it to the disk:
// after `head` when the file is empty, after CR LF when its last byte is not a line feed (a row
// cut short by a crash). A write that fails part-way is taken back, so that the file never holds
// part of a line. Anything but a regular file is refused without waiting for it (a FIFO would
// block). False, with `reason` as the system says it, when the line was not kept.
bool AppendToFile(const QString& path, std::string_view head, std::string_view line,
                  QString& reason);

// What AppendToFile writes to a file of `size` bytes whose last is `last`.
std::string AppendedBytes(std::int64_t size, char last, std::string_view head,
                          std::string_view line);

// A file opened for reading: without waiting for it (a FIFO is refused, not waited on), and
// letting writers append to it and rename or delete it meanwhile.
class FileForReading {
 public:
  // Opens `path`; an absent file is no problem, and reads as empty. Any other failure, and a
  // path that is not a regular file, sets `problem` (when given and still empty) to
  // "<path>: <why>".
  FileForReading(const QString& path, QString* problem);
  ~FileForReading();
  FileForReading(const FileForReading&) = delete;
  FileForReading& operator=(const FileForReading&) = delete;

  // The size the file had when it was opened.
  std::int64_t Size() const { return size_; }
  // Reads the bytes from `at` on into `into`, at most `count` of them: how many were read, 0 at
  // the end or on a failure.
  std::size_t ReadAt(char* into, std::size_t count, std::int64_t at);

 private:
  static void Say(QString* problem, const QString& path, const QString& why);

  std::intptr_t file_ = -1;  // the descriptor, or the handle; -1 (INVALID_HANDLE_VALUE) for none
  std::int64_t size_ = 0;    // when opened
};

}  // namespace karvello
