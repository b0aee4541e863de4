#include "serial/port_discovery.h"

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

void DiscoverPorts(SerialLine& line, const PortMap& ports, PortList& list) {
  for (int n = kFirstPortNumber; n <= kLastPortNumber; ++n) {
    if (line.Open(n)) {
      list.Append({n, "COM" + std::to_string(n), ports.DevicePath(n).value_or(std::string())});
    }
    line.Close();
  }
  list.Select(0);  // an empty list selects nothing and opens nothing
}

void OpenSelectedPort(SerialLine& line, const PortList& list) {
  line.Close();
  const int selected = list.SelectedIndex();
  if (selected < 0) return;  // nothing selected: the port stays closed
  line.Open(list.Entries()[static_cast<std::size_t>(selected)].number);
}

}  // namespace karvello
