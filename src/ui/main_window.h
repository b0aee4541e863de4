#pragma once
// The tool's one window: the port list, the address box, the log box and the four operation
// buttons, wired to the engine through the presenter. The serial line, the port numbering and the
// probe that tries ports apart from the line are handed in, so the same window runs on a real port,
// a pseudo-terminal or an in-memory line.

#include <QWidget>
#include <array>
#include <memory>
#include <string>

#include "engine/engine.h"
#include "serial/port_map.h"
#include "serial/port_probe.h"
#include "serial/serial_line.h"
#include "ui/port_list.h"
#include "ui/presenter.h"
#include "ui/window_line.h"
#include "ui/window_texts.h"

class QPushButton;

namespace Ui {
class MainWindow;
}

namespace karvello {

class Record;

class MainWindow : public QWidget, public WindowTexts {
  Q_OBJECT
 public:
  // Builds the window and runs ListPorts: the ports are probed and the first one found is open
  // before the window first appears. Without a probe of its own, the window tries the ports'
  // devices through QSerialPort.
  MainWindow(SerialLine& line, PortMap& ports, QWidget* parent = nullptr);
  MainWindow(SerialLine& line, PortMap& ports, PortProbe& probe, QWidget* parent = nullptr);
  ~MainWindow() override;

  // The address box and the log box. The log text is kept exactly as written (CR LF line ends
  // included) and shown as lines.
  std::string AddressText() const override;
  void SetAddressText(const std::string& text) override;
  std::string LogText() const override { return log_; }
  void SetLogText(const std::string& text) override;

  // The captions of the window's labels and buttons, one after another.
  QString Captions() const;

  // Each outcome shown from now on is appended to `record` (none: to no record), as happening
  // on "COM<n>", the port in use. The first append that fails shows one warning; the window
  // works on. The record must outlive the window or be replaced before it goes.
  void SetRecord(Record* record);

  Engine& engine() { return engine_; }
  Presenter& presenter() { return presenter_; }
  const PortListModel& portList() const { return line_.List(); }

  // Lists the line at `address` first, beside the ports, and opens it (karvello --port).
  void OpenGiven(const LineAddress& address);

  // Events.
  void ListPorts();
  // The list is about to open: it is made afresh from the ports that open now. The port in use
  // stays listed and open, a query on it in flight included.
  void RefreshPorts();
  void OnPortChosen();
  void OnAddressBoxLeft();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  MainWindow(SerialLine& line, PortMap& ports, PortProbe* probe, QWidget* parent);
  std::array<QPushButton*, 4> Buttons() const;
  void ApplyFonts();
  void UpdateMeasureProgress();

  std::unique_ptr<Ui::MainWindow> ui_;
  SerialLine& serialLine_;
  WindowLine line_;  // the port list, the opening of the line and the record
  std::string log_;
  Engine engine_;
  Presenter presenter_;
};

}  // namespace karvello
