#pragma once
// The line on Qt: a serial port on QSerialPort (9600 baud, 8 data bits, no parity, 1 stop bit,
// no flow control, raw bytes), or a network line to a serial server or a Modbus TCP gateway
// (TcpLink), whichever address it is opened by.

#include <QObject>
#include <QSerialPort>
#include <QTimer>
#include <chrono>
#include <optional>
#include <string>

#include "serial/port_map.h"
#include "serial/serial_line.h"
#if KARVELLO_NETWORK_LINE
#include "serial/tcp_link.h"
#endif

namespace karvello {

// Silence after which the bytes that cannot be the awaited reply are judged. Modbus asks for 3.5
// character times (4 ms at 9600 baud); common USB adapters hand bytes over in batches every
// 16 ms, so the line waits a good deal longer than either.
inline constexpr std::chrono::milliseconds kFrameGap{50};

class QtSerialLine : public QObject, public SerialLine {
  Q_OBJECT
 public:
  explicit QtSerialLine(const PortMap& ports, QObject* parent = nullptr);
  ~QtSerialLine() override;

  using SerialLine::Open;
  bool Open(int number) override;
  bool Open(const LineAddress& address) override;
  void Close() override;
  bool IsOpen() const override { return serial_.isOpen() || OnNetwork(); }
  int Port() const override { return serial_.isOpen() ? port_ : 0; }
  std::string Name() const override { return IsOpen() ? address_.text : std::string(); }
  std::string OpenError() const override { return openError_; }
  bool CarriesBroadcasts() const override;

  // How network lines opened from now on connect and pace themselves.
  void SetNetworkSettings(const NetworkSettings& settings) { network_ = settings; }

  // The device path of the open port.
  std::optional<std::string> DevicePath() const { return ports_.DevicePath(port_); }

 protected:
  bool Write(std::span<const std::uint8_t> bytes) override;
  void DropReceived() override;

 private:
  bool OpenDevice(const std::string& path);
  // Open on a network line rather than a serial port.
  bool OnNetwork() const;
  void OnReadyRead();
  void OnArrived(std::span<const std::uint8_t> bytes, bool whole);
  void OnGapElapsed();
  void OnError(QSerialPort::SerialPortError error);
  // True when the open line reports a hang-up or an error condition.
  bool LineHungUp() const;

  const PortMap& ports_;
  QSerialPort serial_;
#if KARVELLO_NETWORK_LINE
  TcpLink tcp_;
#endif
  QTimer gap_;
  int port_ = 0;
  LineAddress address_;
  NetworkSettings network_;
  std::string openError_;
};

}  // namespace karvello
