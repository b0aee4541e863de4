#include "gateway/scada_server.h"

#include <QHostAddress>

#include "gateway/scada_registers.h"
#include "gateway/scada_service.h"

namespace karvello::gateway {

ScadaServer::ScadaServer(const SiteState& site, QObject* parent) : QObject(parent), site_(site) {
  // The state is copied once after each change, not once for each request.
  connect(&site_, &SiteState::Changed, this, [this] { snapshotStale_ = true; });
  connect(&server_, &QTcpServer::newConnection, this, [this] {
    while (QTcpSocket* socket = server_.nextPendingConnection()) Take(socket);
  });
}

ScadaServer::~ScadaServer() {
  // The sockets are the listener's children and go with it.
  for (auto& [socket, connection] : connections_) {
    socket->disconnect(this);
    socket->abort();
  }
}

bool ScadaServer::Listen(const ListenAddress& address, std::string* why) {
  const QHostAddress host(QString::fromStdString(address.host));
  if (host.isNull()) {
    if (why) *why = address.host + " is not an address";
    return false;
  }
  if (server_.listen(host, address.port)) return true;
  if (why) *why = server_.errorString().toStdString();
  return false;
}

const SiteSnapshot& ScadaServer::Site() {
  if (snapshotStale_) {
    snapshot_ = site_.Snapshot();
    snapshotStale_ = false;
  }
  return snapshot_;
}

void ScadaServer::Take(QTcpSocket* socket) {
  if (Connections() >= kMostScadaConnections) {
    socket->abort();
    socket->deleteLater();
    return;
  }
  // Qt reads from the system no further ahead than this.
  socket->setReadBufferSize(static_cast<qint64>(kLongestMbapFrame) * 4);
  auto connection = std::make_unique<Connection>();
  connection->idle = new QTimer(socket);
  connection->idle->setSingleShot(true);
  connect(connection->idle, &QTimer::timeout, this, [this, socket] { Drop(socket); });
  connection->idle->start(idle_);
  connections_.emplace(socket, std::move(connection));
  connect(socket, &QTcpSocket::readyRead, this, [this, socket] { Serve(socket); });
  // Requests left unread while the replies waited are read once they have gone.
  connect(socket, &QTcpSocket::bytesWritten, this, [this, socket] { Serve(socket); });
  connect(socket, &QTcpSocket::disconnected, this, [this, socket] { Drop(socket); });
  Serve(socket);
}

void ScadaServer::Serve(QTcpSocket* socket) {
  const auto found = connections_.find(socket);
  if (found == connections_.end()) return;
  Connection& connection = *found->second;
  if (socket->bytesAvailable() > 0) connection.idle->start(idle_);
  std::vector<std::uint8_t> out;
  // The replies out at once, rather than on the event loop's next turn.
  const auto send = [socket, &out] {
    if (out.empty()) return;
    socket->write(reinterpret_cast<const char*>(out.data()), static_cast<qint64>(out.size()));
    socket->flush();
  };
  std::uint8_t chunk[kLongestMbapFrame];
  while (socket->bytesToWrite() + static_cast<qint64>(out.size()) < kMostScadaBytesOut) {
    const qint64 got = socket->read(reinterpret_cast<char*>(chunk), sizeof chunk);
    if (got <= 0) break;
    const MbapReader::Taken taken =
        connection.reader.Feed(std::span<const std::uint8_t>(chunk, static_cast<std::size_t>(got)));
    if (!taken.frames.empty()) {
      const ScadaRegisters registers(Site(), QDateTime::currentDateTimeUtc());
      for (const MbapReader::Frame& frame : taken.frames) {
        const std::vector<std::uint8_t> reply =
            registers.Answer(MbapUnit(frame.bytes), MbapPdu(frame.bytes));
        const std::vector<std::uint8_t> whole =
            MbapFrame(frame.transaction, MbapUnit(frame.bytes), reply);
        out.insert(out.end(), whole.begin(), whole.end());
      }
    }
    if (!taken.broken.empty()) {
      // The frames before the bad header are answered; the stream cannot be followed past it.
      send();
      Drop(socket);
      return;
    }
  }
  send();
}

void ScadaServer::Drop(QTcpSocket* socket) {
  const auto found = connections_.find(socket);
  if (found == connections_.end()) return;
  // Forgotten first: closing the socket below tells of it again.
  connections_.erase(found);
  socket->disconnect(this);
  socket->abort();
  socket->deleteLater();
}

std::unique_ptr<QObject> ServeScada(const SiteState& site, const ListenAddress& address,
                                    std::string* why) {
  auto server = std::make_unique<ScadaServer>(site);
  if (!server->Listen(address, why)) return nullptr;
  return server;
}

}  // namespace karvello::gateway
