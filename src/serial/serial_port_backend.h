#pragma once
// A line on a serial port through QSerialPort: 9600 baud, 8 data bits, no parity, 1 stop bit,
// no flow control, raw bytes. Its address is a port numbered as the windows number them (COM3,
// found among the system's ports) or a device path.

#include <QByteArray>
#include <QObject>
#include <QSerialPort>
#include <QTimer>
#include <chrono>
#include <deque>
#include <string>

#include "serial/line_address.h"
#include "serial/line_backend.h"
#include "serial/port_map.h"

namespace karvello {

// A character on the wire at 9600 baud, 8N1: a start bit, 8 data bits and a stop bit, and the
// parity's place, 11 bits as Modbus counts them; and the silence that ends a frame, 3.5
// characters (about 4.01 ms), which the line keeps before each request: after the last byte of
// the reply before it, and after the end of the request before it when no reply came.
inline constexpr std::chrono::microseconds kCharacterTime{11 * 1'000'000 / 9600 + 1};
inline constexpr std::chrono::microseconds kSilenceBetweenFrames{(35 * 11 * 1'000'000 + 95'999) /
                                                                 96'000};

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

 private:
  using Clock = std::chrono::steady_clock;
  void OnReadyRead();
  void OnError(QSerialPort::SerialPortError error);
  bool WriteNow(const QByteArray& data);
  void WriteHeld();

  LineAddress address_;
  const PortMap& ports_;
  QSerialPort serial_;
  OpenFailure failure_;
  QTimer silence_;                  // holds a request until the line has been silent long enough
  std::deque<QByteArray> held_;     // the requests it holds, in order
  Clock::time_point quietFrom_{};   // no request before this
};

}  // namespace karvello
