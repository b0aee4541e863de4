#include "serial/port_map.h"

#include <QSerialPortInfo>
#include <algorithm>
#include <cctype>
#include <tuple>

namespace karvello {

std::optional<std::string> FixedPortMap::DevicePath(int number) const {
  const auto it = devices_.find(number);
  if (it == devices_.end()) return std::nullopt;
  return it->second;
}

namespace {

// Rank of a device name: USB serial adapters first, then CDC-ACM devices, then built-in ports,
// then anything else; inside a group by the number at the end of the name.
std::tuple<int, long, std::string> SortKey(const std::string& name) {
  static const std::pair<const char*, int> kGroups[] = {{"ttyUSB", 0}, {"ttyACM", 1}, {"ttyS", 2}};
  int group = 3;
  std::string rest = name;
  for (const auto& [prefix, rank] : kGroups) {
    if (name.rfind(prefix, 0) == 0) {
      group = rank;
      rest = name.substr(std::string(prefix).size());
      break;
    }
  }
  long number = -1;
  if (!rest.empty() &&
      std::all_of(rest.begin(), rest.end(), [](unsigned char c) { return std::isdigit(c) != 0; }) &&
      rest.size() < 9) {
    number = std::stol(rest);
  }
  return {group, number, name};
}

}  // namespace

std::map<int, std::string> SystemPortMap::Number(const std::vector<std::string>& names) {
  std::vector<std::string> sorted = names;
  std::sort(sorted.begin(), sorted.end(),
            [](const std::string& a, const std::string& b) { return SortKey(a) < SortKey(b); });
  std::map<int, std::string> numbered;
  int number = kFirstPortNumber;
  for (const auto& name : sorted) {
    if (number > kLastPortNumber) break;
    numbered[number++] = name;
  }
  return numbered;
}

SystemPortMap::SystemPortMap() {
  const auto ports = QSerialPortInfo::availablePorts();
#ifdef Q_OS_WIN
  for (const auto& info : ports) {
    const QString name = info.portName();
    if (!name.startsWith(QLatin1String("COM"))) continue;
    bool ok = false;
    const int n = name.mid(3).toInt(&ok);
    if (ok && n >= kFirstPortNumber && n <= kLastPortNumber) {
      devices_[n] = info.systemLocation().toStdString();
    }
  }
#else
  std::vector<std::string> names;
  std::map<std::string, std::string> locations;
  for (const auto& info : ports) {
    names.push_back(info.portName().toStdString());
    locations[names.back()] = info.systemLocation().toStdString();
  }
  for (const auto& [number, name] : Number(names)) devices_[number] = locations[name];
#endif
}

std::optional<std::string> SystemPortMap::DevicePath(int number) const {
  const auto it = devices_.find(number);
  if (it == devices_.end()) return std::nullopt;
  return it->second;
}

}  // namespace karvello
