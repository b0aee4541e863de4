#include <QSerialPortInfo>

#include "serial/port_map.h"

namespace karvello {

// The system's own COM numbers: COMn is port n, nothing renumbered.
void SystemPortMap::Refresh() {
  const auto ports = QSerialPortInfo::availablePorts();
  devices_.clear();
  for (const auto& info : ports) {
    const QString name = info.portName();
    if (!name.startsWith(QLatin1String("COM"))) continue;
    bool ok = false;
    const int n = name.mid(3).toInt(&ok);
    if (ok && n >= kFirstPortNumber && n <= kHighestPortNumber) {
      devices_[n] = info.systemLocation().toStdString();
    }
  }
}

}  // namespace karvello
