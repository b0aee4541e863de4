#pragma once
// The network end of a line: a TCP connection to a serial server that carries the RTU frames as
// they are, or to a Modbus TCP gateway, whose frames it converts to and from RTU so that the
// reply search and the engine judge them as on a serial line. It runs on the event loop's thread,
// as the serial port does: no thread of its own.

#include <QObject>
#include <QString>
#include <QTcpSocket>
#include <QTimer>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "framing/mbap.h"
#include "serial/line_address.h"

namespace karvello {

class TcpLink : public QObject {
  Q_OBJECT
 public:
  // Bytes that came: for Modbus TCP a whole reply made RTU (or what could not be followed),
  // `whole` then; for RTU over TCP the stream as it comes.
  using ArrivedHandler = std::function<void(std::span<const std::uint8_t> bytes, bool whole)>;
  using LostHandler = std::function<void(const QString& reason)>;

  explicit TcpLink(QObject* parent = nullptr);
  ~TcpLink() override;

  // Connects to `address` (a network kind) within the settings' connect time-out; false when the
  // host refuses, cannot be reached or does not answer in time (Error() says which). The event
  // loop runs meanwhile, without user input.
  bool Open(const LineAddress& address, const NetworkSettings& settings);
  void Close();
  // Opened, whether or not connected now: a dropped connection is made again by the next write.
  bool IsOpen() const { return open_; }
  bool ModbusTcp() const { return address_.kind == LineAddress::Kind::kModbusTcp; }
  const QString& Error() const { return error_; }

  // Sends an RTU frame: as it is, or as a Modbus TCP request of a transaction of its own. It goes
  // once the connection is up and the settings' pauses have passed.
  bool Write(std::span<const std::uint8_t> frame);
  // Forgets what has come and not been handed over, and any reply of an earlier transaction.
  void DropReceived();

  void SetOnArrived(ArrivedHandler handler) { onArrived_ = std::move(handler); }
  // The connection dropped, or could not be made again for a request.
  void SetOnLost(LostHandler handler) { onLost_ = std::move(handler); }

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
  std::uint16_t transaction_ = 0;                     // the request's, Modbus TCP
  MbapReader reader_;
  ArrivedHandler onArrived_;
  LostHandler onLost_;
};

}  // namespace karvello
