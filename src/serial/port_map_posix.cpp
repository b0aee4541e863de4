#include <QSerialPortInfo>

#include "serial/port_map.h"

namespace karvello {

// The system's serial devices, numbered from COM1 as they come: USB adapters first, then the
// built-in ports; a device keeps its number while the map lives.
void SystemPortMap::Refresh() {
  const auto ports = QSerialPortInfo::availablePorts();
  devices_.clear();
  std::vector<std::string> names;
  std::map<std::string, std::string> locations;
  for (const auto& info : ports) {
    names.push_back(info.portName().toStdString());
    locations[names.back()] = info.systemLocation().toStdString();
  }
  given_ = Renumber(std::move(given_), names);
  for (const auto& [name, location] : locations) {
    if (const auto it = given_.find(name); it != given_.end()) devices_[it->second] = location;
  }
}

}  // namespace karvello
