#pragma once
// Finding the ports that open at start, and opening the one the user picks.

#include <functional>
#include <string>
#include <vector>

#include "serial/port_map.h"
#include "serial/serial_line.h"

namespace karvello {

// The port list the window shows: entries "COM" followed by a number, in the order found, with
// the device path of each as its tooltip.
class PortList {
 public:
  struct Entry {
    int number;  // the port number: "COM3" is 3
    std::string text;
    std::string tooltip;
  };

  void Append(Entry entry) { entries_.push_back(std::move(entry)); }
  // Selects entry `index` and raises the selection event, whether or not the index changes.
  // Returns false (and changes nothing) when there is no such entry.
  bool Select(int index);
  int SelectedIndex() const { return selected_; }
  // The text of the selected entry; empty when none is selected.
  std::string SelectedText() const;
  const std::vector<Entry>& Entries() const { return entries_; }

  // The selection event (for the window: OnPortChosen).
  void SetOnSelected(std::function<void()> handler) { onSelected_ = std::move(handler); }

 private:
  std::vector<Entry> entries_;
  int selected_ = -1;
  std::function<void()> onSelected_;
};

// Tries the port numbers 1 to 16, lists every one that opens and closes it again, then selects
// the first entry, whose selection event opens that port. No message either way: a port that
// does not open is left out.
void DiscoverPorts(SerialLine& line, const PortMap& ports, PortList& list);

// Closes the port in use and opens the one selected in `list`. A failed open leaves the port
// closed.
void OpenSelectedPort(SerialLine& line, const PortList& list);

}  // namespace karvello
