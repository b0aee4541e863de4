#pragma once
// Which device of the system stands behind each port number (COM1 to COM16).

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "serial/serial_line.h"

namespace karvello {

class PortMap {
 public:
  virtual ~PortMap() = default;
  // The device path of port `number`, or nothing when no device has that number.
  virtual std::optional<std::string> DevicePath(int number) const = 0;
  // The numbers that have a device, in ascending order.
  virtual std::vector<int> Numbers() const = 0;
  // Looks again at the devices the system has, for adapters plugged in or pulled since. A device
  // that is still there keeps its number.
  virtual void Refresh() {}
};

// Devices at chosen numbers: pseudo-terminals for tests, the demo and the simulator.
class FixedPortMap : public PortMap {
 public:
  FixedPortMap() = default;
  explicit FixedPortMap(std::map<int, std::string> devices) : devices_(std::move(devices)) {}
  void Set(int number, std::string path) { devices_[number] = std::move(path); }
  // The device at `number` goes away, as a pulled adapter does.
  void Remove(int number) { devices_.erase(number); }
  std::optional<std::string> DevicePath(int number) const override;
  std::vector<int> Numbers() const override;

 private:
  std::map<int, std::string> devices_;
};

// The system's serial ports. On Windows COMn is the system's port COMn (COM1 to COM256). Elsewhere
// the serial devices that Qt finds are numbered from COM1: USB adapters first (ttyUSB, then
// ttyACM), then built-in ports (ttyS), each group in numeric order, so that a plugged-in adapter is
// COM1 without any setting. While the program runs a device keeps the number it was given, even
// while it is unplugged; a device seen for the first time takes the lowest number no device
// has had yet (and only when all are spoken for, the lowest one of a device that is gone).
class SystemPortMap : public PortMap {
 public:
  SystemPortMap();
  std::optional<std::string> DevicePath(int number) const override;
  std::vector<int> Numbers() const override;
  void Refresh() override;

  // The numbering rule, apart from Qt's port list: device names ("ttyUSB0", "ttyS1", ...) in,
  // device names by number out.
  static std::map<int, std::string> Number(const std::vector<std::string>& names);
  // The same rule over a run: `given` holds every device name numbered so far with its number;
  // `present` are the devices there now. Returns `given` with numbers for the new devices.
  static std::map<std::string, int> Renumber(std::map<std::string, int> given,
                                             const std::vector<std::string>& present);

 private:
  std::map<std::string, int> given_;
  std::map<int, std::string> devices_;
};

}  // namespace karvello
