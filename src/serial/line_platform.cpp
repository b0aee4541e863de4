#include "serial/line_platform.h"

#ifdef Q_OS_UNIX
#include <poll.h>
#endif

namespace karvello {

bool SerialDeviceHungUp([[maybe_unused]] const QSerialPort& serial) {
#ifdef Q_OS_UNIX
  pollfd line{static_cast<int>(serial.handle()), POLLIN, 0};
  return poll(&line, 1, 0) > 0 && (line.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
#else
  return false;
#endif
}

}  // namespace karvello
