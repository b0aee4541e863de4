#pragma once
// The tool's one window: the port list, the address box, the log box and the four operation
// buttons, wired to the operations. The serial control and the port numbering are handed in, so
// the same window runs on a real port, a pseudo-terminal or an in-memory line.

#include <QWidget>
#include <memory>
#include <string>

#include "operations/operations.h"
#include "operations/window_texts.h"
#include "serial/port_discovery.h"
#include "serial/port_map.h"
#include "serial/serial_line.h"

namespace Ui {
class MainWindow;
}

namespace karvello {

class MainWindow : public QWidget, public WindowTexts {
  Q_OBJECT
 public:
  // Builds the window and runs ListPorts: the ports are probed and the first one found is open
  // before the window first appears.
  MainWindow(SerialLine& line, const PortMap& ports, QWidget* parent = nullptr);
  ~MainWindow() override;

  // The address box and the log box. The log text is kept exactly as written (CR LF line ends
  // included) and shown as lines.
  std::string AddressText() const override;
  void SetAddressText(const std::string& text) override;
  std::string LogText() const override { return log_; }
  void SetLogText(const std::string& text) override;

  Operations& operations() { return operations_; }
  const PortList& portList() const { return portList_; }

  // Events.
  void ListPorts();
  void OnPortChosen();
  void OnAddressBoxLeft();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void ApplyFonts();
  void MirrorPortList();
  void UpdateMeasureProgress();

  std::unique_ptr<Ui::MainWindow> ui_;
  SerialLine& line_;
  const PortMap& ports_;
  std::string log_;
  PortList portList_;
  Operations operations_;
};

}  // namespace karvello
