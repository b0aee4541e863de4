// The acknowledged place's file replaced whole on POSIX systems: a file of its own beside it,
// written, brought to the disk when asked, and renamed over it (rename(2) replaces at once).

#include <fcntl.h>
#include <unistd.h>

#include <QFile>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "gateway/published_point.h"
#include "record/record_file_posix.h"

namespace karvello::gateway {

bool WritePointFile(const QString& path, const std::string& text, bool sync,
                    std::string* problem) {
  const QByteArray target = QFile::encodeName(path);
  const QByteArray temporary = target + ".new";
  const auto fail = [problem](const char* what) {
    if (problem) *problem = std::string(what) + ": " + std::strerror(errno);
    return false;
  };
  const int fd = ::open(temporary.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return fail("cannot make its new copy");
  bool ok = WriteWhole(fd, text) == text.size() && (!sync || ::fsync(fd) == 0);
  const int written = errno;
  ::close(fd);
  if (!ok) {
    ::unlink(temporary.constData());
    errno = written;
    return fail("cannot write its new copy");
  }
  if (std::rename(temporary.constData(), target.constData()) != 0) {
    const int why = errno;
    ::unlink(temporary.constData());
    errno = why;
    return fail("cannot put its new copy in its place");
  }
  return true;
}

}  // namespace karvello::gateway
