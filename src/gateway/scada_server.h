#pragma once
// The Modbus TCP server of a watch, in the watch's own event loop: each request answered at once
// from the site's state as it stands (scada_registers.h), nothing ever sent on the detectors'
// line. No client can hold the watch up: at most 16 connections at once (a further one is
// closed as it comes), each read a frame's worth at a time and not read at all while its
// replies wait to go, each closed after 60 s without a byte from it, and one whose header no
// frame has (a protocol id other than 0, a length outside 2 to 254) closed alone.

#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <chrono>
#include <map>
#include <memory>
#include <string>

#include "framing/mbap.h"
#include "gateway/listen_address.h"
#include "gateway/site_state.h"

namespace karvello::gateway {

inline constexpr int kMostScadaConnections = 16;
inline constexpr std::chrono::seconds kScadaIdleTimeout{60};
// The reply bytes a connection may have waiting to go before its requests are left unread (the
// client's own TCP window then holds it back).
inline constexpr qint64 kMostScadaBytesOut = 16 * 1024;

class ScadaServer : public QObject {
 public:
  // `site` must outlive the server.
  explicit ScadaServer(const SiteState& site, QObject* parent = nullptr);
  ~ScadaServer() override;

  // Listens at `address`; false, with why, when it cannot.
  bool Listen(const ListenAddress& address, std::string* why);
  quint16 Port() const { return server_.serverPort(); }
  int Connections() const { return static_cast<int>(connections_.size()); }
  // The idle time after which a connection is closed (kScadaIdleTimeout unless set).
  void SetIdleTimeout(std::chrono::milliseconds idle) { idle_ = idle; }

 private:
  struct Connection {
    MbapReader reader;
    QTimer* idle;  // the socket's child: it goes with the socket
  };

  void Take(QTcpSocket* socket);
  void Serve(QTcpSocket* socket);
  void Drop(QTcpSocket* socket);
  const SiteSnapshot& Site();

  const SiteState& site_;
  QTcpServer server_;
  SiteSnapshot snapshot_;
  bool snapshotStale_ = true;
  std::chrono::milliseconds idle_ = kScadaIdleTimeout;
  std::map<QTcpSocket*, std::unique_ptr<Connection>> connections_;
};

}  // namespace karvello::gateway
