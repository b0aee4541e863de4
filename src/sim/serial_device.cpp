#include "sim/serial_device.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace karvello::sim {

int OpenSerialDevice(const std::string& path) {
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) throw std::system_error(errno, std::generic_category(), "open " + path);
  termios tio{};
  if (tcgetattr(fd, &tio) != 0) {
    const int err = errno;
    close(fd);
    throw std::system_error(err, std::generic_category(), path + " is not a serial line");
  }
  cfmakeraw(&tio);
  tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
  tio.c_cflag |= CS8 | CLOCAL | CREAD;
  tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  cfsetispeed(&tio, B9600);
  cfsetospeed(&tio, B9600);
  if (tcsetattr(fd, TCSANOW, &tio) != 0) {
    const int err = errno;
    close(fd);
    throw std::system_error(err, std::generic_category(), "set up " + path);
  }
  tcflush(fd, TCIOFLUSH);
  return fd;
}

}  // namespace karvello::sim
