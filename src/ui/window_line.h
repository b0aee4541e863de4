#pragma once
// What the main window and the survey window both hold: the line they work on, opened from the
// port list in their box (the ports tried apart from the line by a probe), and the record each
// outcome goes into, as happening on that line.

#include <QDateTime>
#include <memory>
#include <optional>
#include <string>

#include "engine/outcome.h"
#include "record/record.h"
#include "serial/port_map.h"
#include "serial/port_probe.h"
#include "serial/serial_line.h"
#include "ui/port_list.h"

class QComboBox;

namespace karvello {

class WindowLine {
 public:
  // Without a probe handed in (none), the ports' devices are tried through QSerialPort.
  WindowLine(SerialLine& line, PortMap& ports, PortProbe* probe);
  ~WindowLine();

  // The box the list is shown in; set once, before the list is first made.
  void SetBox(QComboBox& box) { box_ = &box; }
  PortListModel& List() { return list_; }
  const PortListModel& List() const { return list_; }

  // Probes the ports, shows them and selects the first entry found (an empty list selects
  // nothing and opens nothing).
  void ListPorts();
  // The list is made afresh from the ports that open now; the port in use stays listed and open.
  void RefreshPorts();
  // Shows the list and opens its selected entry (a line's address, or a port number); closes the
  // line when the entry is no port. Every opening from the list and closing happens here.
  void OpenSelected();
  // A line opened otherwise, under `name`.
  void Opened(std::string name) { openedName_ = std::move(name); }

  // The record each outcome is appended to (none: not kept), and what the window does with its
  // notices: each outage of the record, its end with the count of rows not kept, a file that
  // cannot be set aside. The window works on.
  void SetRecord(Record* record, Record::NoticeHandler tell);
  Record* record() const { return record_; }
  // The record's row of `outcome`, made now on the line in use (or the line opened last, for an
  // outcome that comes as the line goes), appended to the record when there is one.
  RecordRow Keep(const Outcome& outcome);

 private:
  // The number of the port in use, kept listed without a probe; 0 for none or another line.
  int NumberInUse() const;

  std::unique_ptr<PortProbe> ownProbe_;
  SerialLine& line_;
  PortMap& ports_;
  PortProbe& probe_;
  PortListModel list_;
  QComboBox* box_ = nullptr;
  Record* record_ = nullptr;
  std::string openedName_;
};

}  // namespace karvello
