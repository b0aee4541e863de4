#pragma once
// The serial line on QSerialPort: 9600 baud, 8 data bits, no parity, 1 stop bit, no flow
// control, raw bytes.

#include <QObject>
#include <QSerialPort>
#include <QTimer>

#include "serial/frame_assembler.h"
#include "serial/port_map.h"
#include "serial/serial_control.h"

namespace karvello {

class QtSerialControl : public QObject, public SerialControl {
  Q_OBJECT
 public:
  explicit QtSerialControl(const PortMap& ports, QObject* parent = nullptr);
  ~QtSerialControl() override;

  void SetCommPort(int number) override { port_ = number; }
  int CommPort() const override { return port_; }
  bool SetPortOpen(bool open) override;
  bool PortOpen() const override { return serial_.isOpen(); }
  void SetRThreshold(int bytes) override { threshold_ = bytes; }
  bool Output(std::span<const std::uint8_t> bytes) override;
  void ClearInBuffer() override;
  void ClearOutBuffer() override;
  int CommEvent() const override { return event_; }
  std::vector<std::uint8_t> Input() override;

  // The device path of the port number set, if the map knows it.
  std::optional<std::string> DevicePath() const { return ports_.DevicePath(port_); }

 private:
  void OnReadyRead();
  void OnGapElapsed();
  void OnError(QSerialPort::SerialPortError error);
  // True when the open line reports a hang-up or an error condition.
  bool LineHungUp() const;
  void Deliver(std::vector<std::uint8_t> frame, int event);

  const PortMap& ports_;
  QSerialPort serial_;
  QTimer gap_;
  FrameAssembler assembler_;
  int port_ = 1;
  int threshold_ = 1;
  int event_ = 0;
  std::vector<std::uint8_t> current_;
};

}  // namespace karvello
