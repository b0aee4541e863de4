#pragma once
// The window's port list: its entries ("COM" and the port number, the device path as tooltip),
// made afresh each time the list is opened, and the drop-down box that shows them.

#include <QComboBox>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "serial/line_address.h"
#include "serial/port_map.h"
#include "serial/port_probe.h"

class QWheelEvent;

namespace karvello {

class PortListModel {
 public:
  struct Entry {
    int number = 0;       // 0 for a line given by address that is no port number
    std::string text;     // "COM3"
    std::string tooltip;  // the device path, empty when the map has none
    bool given = false;   // the line given by address, listed first

    bool operator==(const Entry&) const = default;
  };

  // Lists the ports 1 to 16 that open now, then each port above 16 that the map has and that
  // opens, in ascending order; a port whose open does not return within the probe's bound is
  // left out and named by Late(). Port `kept` (0 for none) is
  // listed without being tried, as it was: it is the port in use, which no probe may touch.
  // The selection stays on the entry of the same port; it is -1 when that port has gone.
  // Raises no selection event: nothing is opened or closed.
  // A line given by its address (a port number, a device, a network line) is listed first,
  // untried, and that port number is not listed again after it.
  void Probe(const PortMap& map, PortProbe& probe, int kept);
  void SetGiven(std::optional<LineAddress> address) { given_ = std::move(address); }
  const std::optional<LineAddress>& Given() const { return given_; }
  // The address of the selected entry; none when none is selected.
  std::optional<LineAddress> SelectedAddress() const;

  // Selects entry `index` and raises the selection event, whether or not the index changes.
  // Returns false (and changes nothing) when there is no such entry.
  bool Select(int index);
  int SelectedIndex() const { return selected_; }
  // No entry selected (a line opened otherwise); raises no event.
  void ClearSelection() { selected_ = -1; }
  // The port number of the selected entry; 0 when none is selected.
  int SelectedNumber() const;
  const std::vector<Entry>& Entries() const { return entries_; }
  // The ports left out of the last list because their open did not return in time, ascending.
  const std::vector<int>& Late() const { return late_; }

  // The selection event.
  void SetOnSelected(std::function<void()> handler) { onSelected_ = std::move(handler); }

 private:
  std::vector<Entry> entries_;
  std::vector<int> late_;
  int selected_ = -1;
  std::optional<LineAddress> given_;
  std::function<void()> onSelected_;
};

// Shows the model's entries in `combo` (the device path as each entry's tooltip and the box's),
// its selection current. The entries are put in afresh only when they changed. The box's tooltip
// also names the ports left out because their open did not return in time.
void ShowPortList(const PortListModel& model, QComboBox& combo);
// What the box's tooltip says of the ports whose open did not return in time; empty for none.
std::string LateText(const std::vector<int>& late);

// The drop-down box of the port list. It says when its list is about to open, so that the
// entries can be made afresh first, and it takes the mouse wheel only while it has the focus:
// a wheel turned over it on the way to another control leaves the port as it is.
class PortListBox : public QComboBox {
  Q_OBJECT
 public:
  using QComboBox::QComboBox;
  void showPopup() override;

 signals:
  void aboutToShowPopup();

 protected:
  void wheelEvent(QWheelEvent* event) override;
};

}  // namespace karvello
