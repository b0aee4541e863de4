#include "sim/pty_pair.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <system_error>

namespace karvello::sim {

namespace {
[[noreturn]] void Fail(const char* what) {
  throw std::system_error(errno, std::generic_category(), what);
}
}  // namespace

PtyPair::PtyPair() {
  master_ = posix_openpt(O_RDWR | O_NOCTTY);
  if (master_ < 0) Fail("posix_openpt");
  char name[128];
  if (grantpt(master_) != 0 || unlockpt(master_) != 0 || ptsname_r(master_, name, sizeof name)) {
    const int err = errno;
    close(master_);
    errno = err;
    Fail("grantpt/unlockpt/ptsname");
  }
  slavePath_ = name;
  slaveKeeper_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  termios tio{};
  if (slaveKeeper_ < 0 || tcgetattr(slaveKeeper_, &tio) != 0) {
    const int err = errno;
    CloseBoth();
    errno = err;
    Fail("open pty slave");
  }
  cfmakeraw(&tio);
  cfsetspeed(&tio, B9600);
  tcsetattr(slaveKeeper_, TCSANOW, &tio);
  fcntl(master_, F_SETFD, FD_CLOEXEC);
  fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
}

PtyPair::~PtyPair() {
  CloseBoth();
}

void PtyPair::CloseMaster() {
  if (master_ >= 0) close(master_);
  master_ = -1;
}

void PtyPair::CloseBoth() {
  CloseMaster();
  if (slaveKeeper_ >= 0) close(slaveKeeper_);
  slaveKeeper_ = -1;
}

}  // namespace karvello::sim
