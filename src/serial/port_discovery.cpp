#include "serial/port_discovery.h"

#include "framing/numeric.h"

namespace karvello {

bool PortList::Select(int index) {
  if (index < 0 || index >= static_cast<int>(entries_.size())) return false;
  selected_ = index;
  if (onSelected_) onSelected_();
  return true;
}

std::string PortList::SelectedText() const {
  if (selected_ < 0) return {};
  return entries_[static_cast<std::size_t>(selected_)].text;
}

void DiscoverPorts(SerialControl& comm, const PortMap& ports, PortList& list) {
  for (int n = kFirstPortNumber; n <= kLastPortNumber; ++n) {
    comm.SetCommPort(n);
    if (comm.SetPortOpen(true)) {
      list.Append({"COM" + std::to_string(n), ports.DevicePath(n).value_or(std::string())});
    }
    comm.SetPortOpen(false);
  }
  list.Select(0);  // an empty list selects nothing and opens nothing
}

void OpenSelectedPort(SerialControl& comm, const PortList& list) {
  if (comm.PortOpen()) comm.SetPortOpen(false);
  const std::string text = list.SelectedText();
  if (text.size() < 4) return;  // nothing selected: the port stays closed
  // "COM" and one digit, or "COM" and two digits.
  const std::string digits = text.size() == 4 ? text.substr(3, 1) : text.substr(3, 2);
  const double number = NumericValue(digits);
  if (number < kFirstPortNumber || number > kLastPortNumber) return;
  comm.SetCommPort(static_cast<int>(number));
  comm.SetPortOpen(true);
}

}  // namespace karvello
