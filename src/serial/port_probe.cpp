#include "serial/port_probe.h"

#include <QSerialPort>

namespace karvello {

bool QtPortProbe::Opens(int number) {
  const auto path = ports_.DevicePath(number);
  if (!path) return false;
  QSerialPort port(QString::fromStdString(*path));
  if (!port.open(QIODevice::ReadWrite)) return false;
  port.close();
  return true;
}

}  // namespace karvello
