#pragma once
// A line on the network: a TCP connection to a serial server that carries the RTU frames as
// they are, or to a Modbus TCP gateway; the bytes go as the line packed them. A dropped
// connection is made again by the next write; requests wait out the pauses the settings ask
// for. It runs on the event loop's thread, as the serial port does: no thread of its own.

#include <QObject>
#include <QString>
#include <QTcpSocket>
#include <QTimer>
#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "serial/line_address.h"
#include "serial/line_backend.h"

namespace karvello {

class TcpBackend : public QObject, public LineBackend {
  Q_OBJECT
 public:
  // `address` is of a network kind.
  TcpBackend(LineAddress address, const NetworkSettings& settings, QObject* parent = nullptr);
  ~TcpBackend() override;

  // Connects within the settings' connect time-out; false when the host refuses, cannot be
  // reached or does not answer in time (Failure() says which). The event loop runs meanwhile,
  // without user input.
  bool Open() override;
  void Close() override;
  // Opened, whether or not connected now: a dropped connection is made again by the next write.
  bool IsOpen() const override { return open_; }
  OpenFailure Failure() const override {
    return {.error = error_.toStdString(), .errorTold = true};
  }
  // Sends the bytes once the connection is up and the settings' pauses have passed.
  bool Write(std::span<const std::uint8_t> bytes) override;
  void DropReceived() override;

 private:
  using Clock = std::chrono::steady_clock;
  void Connect();
  void OnConnected();
  void OnReadyRead();
  void OnBroken(const QString& reason);
  void SendWhenDue();

  QTcpSocket socket_;
  QTimer connectTimer_;
  QTimer pauseTimer_;
  LineAddress address_;
  NetworkSettings settings_;
  bool open_ = false;
  bool up_ = false;          // connected, or connecting for a request: a loss is told
  unsigned generation_ = 0;  // of the connection opened last
  QString error_;
  std::optional<std::vector<std::uint8_t>> waiting_;  // the frame to send once due
  Clock::time_point due_{};                           // no request before this
};

}  // namespace karvello
