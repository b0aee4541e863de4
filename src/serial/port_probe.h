#pragma once
// Whether a port opens now, found out apart from the line in use: the line's own port is never
// opened, closed or reconfigured by a probe.

#include "serial/port_map.h"

namespace karvello {

class PortProbe {
 public:
  virtual ~PortProbe() = default;
  // True when port `number` has a device that opens now (it exists, the user may open it, and
  // no program holds its lock). The port is closed again before this returns.
  virtual bool Opens(int number) = 0;
};

// Tries the device through its own QSerialPort.
class QtPortProbe : public PortProbe {
 public:
  explicit QtPortProbe(const PortMap& ports) : ports_(ports) {}
  bool Opens(int number) override;

 private:
  const PortMap& ports_;
};

}  // namespace karvello
