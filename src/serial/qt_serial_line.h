#pragma once
// The line on Qt, opened by its address: the line factory makes the backend that carries it (a
// serial port, or a network line to a serial server or a Modbus TCP gateway) and the line packs
// its frames for that wire, finds the replies in what comes and judges the bytes that cannot be
// one once the line falls silent.

#include <QObject>
#include <QTimer>
#include <chrono>
#include <memory>
#include <string>

#include "serial/line_backend.h"
#include "serial/line_factory.h"
#include "serial/port_map.h"
#include "serial/serial_line.h"

namespace karvello {

// Silence after which the bytes that cannot be the awaited reply are judged. Modbus asks for 3.5
// character times (4 ms at 9600 baud); common USB adapters hand bytes over in batches every
// 16 ms, so the line waits a good deal longer than either.
inline constexpr std::chrono::milliseconds kFrameGap{50};

class QtSerialLine : public QObject, public SerialLine {
  Q_OBJECT
 public:
  // `ports` numbers the serial ports and outlives the line.
  explicit QtSerialLine(const PortMap& ports, QObject* parent = nullptr);
  ~QtSerialLine() override;

  bool Open(const LineAddress& address) override;
  void Close() override;
  bool IsOpen() const override { return backend_ != nullptr && backend_->IsOpen(); }
  std::string Name() const override { return IsOpen() ? address_.text : std::string(); }
  std::string OpenError() const override { return failure_.error; }
  // Why the last open failed.
  const OpenFailure& Failure() const { return failure_; }

  // How network lines opened from now on connect and pace themselves.
  void SetNetworkSettings(const NetworkSettings& settings) {
    factory_.SetNetworkSettings(settings);
  }

 protected:
  bool Write(std::span<const std::uint8_t> bytes) override;
  void DropReceived() override;

 private:
  void OnArrived(std::span<const std::uint8_t> bytes);
  void OnLost();
  // Lets the backend in use go (closed), once the event loop comes back to it.
  void Retire();

  LineFactory factory_;
  LineBackend* backend_ = nullptr;  // a child of the line
  QTimer gap_;
  LineAddress address_;
  OpenFailure failure_;
};

}  // namespace karvello
