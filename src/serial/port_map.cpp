#include "serial/port_map.h"

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

std::vector<int> KeysOf(const std::map<int, std::string>& devices) {
  std::vector<int> numbers;
  for (const auto& [number, path] : devices) numbers.push_back(number);
  return numbers;
}

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

std::map<std::string, int> SystemPortMap::Renumber(std::map<std::string, int> given,
                                                   const std::vector<std::string>& present) {
  std::vector<std::string> fresh;
  for (const auto& name : present) {
    if (!given.contains(name)) fresh.push_back(name);
  }
  std::sort(fresh.begin(), fresh.end(),
            [](const std::string& a, const std::string& b) { return SortKey(a) < SortKey(b); });
  std::map<int, std::string> holder;  // number -> the device name that has it
  for (const auto& [name, number] : given) holder[number] = name;
  const auto isPresent = [&present](const std::string& name) {
    return std::find(present.begin(), present.end(), name) != present.end();
  };
  for (const auto& name : fresh) {
    int number = 0;
    for (int n = kFirstPortNumber; n <= kLastPortNumber && number == 0; ++n) {
      if (!holder.contains(n)) number = n;
    }
    // All numbers have been given: take the lowest one whose device is gone now.
    for (int n = kFirstPortNumber; n <= kLastPortNumber && number == 0; ++n) {
      if (!isPresent(holder[n])) number = n;
    }
    if (number == 0) break;  // sixteen devices are there: the rest go without a number
    if (const auto previous = holder.find(number); previous != holder.end()) {
      given.erase(previous->second);
    }
    holder[number] = name;
    given[name] = number;
  }
  return given;
}

std::map<int, std::string> SystemPortMap::Number(const std::vector<std::string>& names) {
  std::map<int, std::string> numbered;
  for (const auto& [name, number] : Renumber({}, names)) numbered[number] = name;
  return numbered;
}

SystemPortMap::SystemPortMap() {
  Refresh();
}

std::optional<std::string> SystemPortMap::DevicePath(int number) const {
  const auto it = devices_.find(number);
  if (it == devices_.end()) return std::nullopt;
  return it->second;
}

std::vector<int> FixedPortMap::Numbers() const {
  return KeysOf(devices_);
}

std::vector<int> SystemPortMap::Numbers() const {
  return KeysOf(devices_);
}

}  // namespace karvello
