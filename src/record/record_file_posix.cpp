// The record's files on POSIX systems: flock(2) for the lock, O_APPEND and fsync(2) for the rows.

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <QThread>
#include <cerrno>
#include <csignal>

#include "record/record_file.h"
#include "record/record_file_posix.h"

namespace karvello {
namespace {

FileKind KindOf(mode_t mode) {
  if (S_ISDIR(mode)) return FileKind::kFolder;
  if (S_ISFIFO(mode)) return FileKind::kFifo;
  if (S_ISCHR(mode) || S_ISBLK(mode)) return FileKind::kDevice;
  if (S_ISSOCK(mode)) return FileKind::kSocket;
  return FileKind::kOther;
}

// A write past the process's file-size limit (`ulimit -f`, systemd's LimitFSIZE=) fails with
// EFBIG, as a full disk fails with ENOSPC, instead of ending the program by SIGXFSZ with a row cut
// in two: the record counts the rows it could not keep and says so, and the program goes on.
void RefuseWritesPastTheSizeLimit() {
  static const bool done = [] {
    std::signal(SIGXFSZ, SIG_IGN);
    return true;
  }();
  (void)done;
}

}  // namespace

std::size_t WriteWhole(int fd, std::string_view bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  return done;
}

FileLock::FileLock(const QString& path, std::chrono::milliseconds wait) {
  const auto deadline = std::chrono::steady_clock::now() + wait;
  const int fd = ::open(QFile::encodeName(path).constData(),
                        O_RDWR | O_CREAT | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0666);
  if (fd < 0) {
    error_ = QStringLiteral("cannot open the lock file %1: %2").arg(path, qt_error_string(errno));
    return;
  }
  file_ = fd;
  while (!(held_ = ::flock(fd, LOCK_EX | LOCK_NB) == 0)) {
    if ((errno != EWOULDBLOCK && errno != EINTR) || std::chrono::steady_clock::now() > deadline) {
      break;
    }
    QThread::msleep(1);
  }
  if (!held_) {
    error_ = QStringLiteral("another program held %1 for over %2 ms").arg(path).arg(wait.count());
  }
}

FileLock::~FileLock() {
  if (file_ >= 0) ::close(static_cast<int>(file_));  // and with it the lock
}

bool AppendToFile(const QString& path, std::string_view head, std::string_view line,
                  QString& reason) {
  RefuseWritesPastTheSizeLimit();
  const int fd = ::open(QFile::encodeName(path).constData(),
                        O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0666);
  if (fd < 0) {
    reason = qt_error_string(errno);
    return false;
  }
  struct stat status {};
  if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    reason = S_ISREG(status.st_mode) ? qt_error_string(errno)
                                     : NotRegularFileText(KindOf(status.st_mode));
    ::close(fd);
    return false;
  }
  const off_t end = status.st_size;
  char last = '\n';
  if (end > 0 && ::pread(fd, &last, 1, end - 1) != 1) {
    reason = qt_error_string(errno);
    ::close(fd);
    return false;
  }
  const std::string bytes = AppendedBytes(end, last, head, line);
  bool ok = WriteWhole(fd, bytes) == bytes.size();
  if (!ok) {
    reason = qt_error_string(errno);
    if (::ftruncate(fd, end) != 0) reason += QStringLiteral("; part of a row is left");
  } else if (::fsync(fd) != 0) {
    reason = qt_error_string(errno);
    ok = false;
  }
  ::close(fd);
  return ok;
}

FileForReading::FileForReading(const QString& path, QString* problem) {
  const int fd =
      ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  struct stat status {};
  if (fd < 0) {
    if (errno != ENOENT) Say(problem, path, qt_error_string(errno));
  } else if (::fstat(fd, &status) != 0) {
    Say(problem, path, qt_error_string(errno));
    ::close(fd);
  } else if (!S_ISREG(status.st_mode)) {
    Say(problem, path, NotRegularFileText(KindOf(status.st_mode)));
    ::close(fd);
  } else {
    file_ = fd;
    size_ = status.st_size;
  }
}

FileForReading::~FileForReading() {
  if (file_ >= 0) ::close(static_cast<int>(file_));
}

std::size_t FileForReading::ReadAt(char* into, std::size_t count, std::int64_t at) {
  if (file_ < 0) return 0;
  for (;;) {
    const ssize_t n = ::pread(static_cast<int>(file_), into, count, static_cast<off_t>(at));
    if (n < 0 && errno == EINTR) continue;
    return n <= 0 ? 0 : static_cast<std::size_t>(n);
  }
}

}  // namespace karvello
