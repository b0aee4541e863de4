#pragma once
// A line on a serial port through QSerialPort: 9600 baud, 8 data bits, no parity, 1 stop bit,
// no flow control, raw bytes. Its address is a port numbered as the windows number them (COM3,
// found among the system's ports) or a device path.

#include <QObject>
#include <QSerialPort>
#include <string>

#include "serial/line_address.h"
#include "serial/line_backend.h"
#include "serial/port_map.h"

namespace karvello {

class SerialPortBackend : public QObject, public LineBackend {
  Q_OBJECT
 public:
  // `address` is a numbered port or a device; `ports` numbers them and outlives the backend.
  SerialPortBackend(LineAddress address, const PortMap& ports, QObject* parent = nullptr);
  ~SerialPortBackend() override;

  bool Open() override;
  void Close() override;
  bool IsOpen() const override { return serial_.isOpen(); }
  OpenFailure Failure() const override { return failure_; }
  bool Write(std::span<const std::uint8_t> bytes) override;
  void DropReceived() override;
  void DeleteLater() override { deleteLater(); }

 private:
  void OnReadyRead();
  void OnError(QSerialPort::SerialPortError error);

  LineAddress address_;
  const PortMap& ports_;
  QSerialPort serial_;
  OpenFailure failure_;
};

}  // namespace karvello
