#pragma once
// Servers on loopback for the network line's tests: a free port, a program started as a server
// (socat as a transparent serial server, pymodbus's Modbus TCP server) and stopped with the test,
// and a Modbus TCP gateway played by the test itself, which records what comes and answers as
// told.

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QStringList>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "support/child_program.h"
#include "support/event_loop.h"
#include "support/free_port.h"

namespace karvello::testing {

// Waits until something accepts connections on the loopback port.
inline bool WaitForListener(quint16 port, std::chrono::milliseconds timeout) {
  QElapsedTimer clock;
  clock.start();
  while (clock.elapsed() < timeout.count()) {
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (socket.waitForConnected(200)) return true;
    RunFor(std::chrono::milliseconds(20));
  }
  return false;
}

// A program serving a loopback port for the test's life. It is ready once it prints
// `readyText`; without one, once the port accepts a connection.
class ServerProcess {
 public:
  ServerProcess(const QString& program, const QStringList& arguments, quint16 port,
                const QString& readyText = {})
      : program_(program, arguments, ChildProgram::Options().MergeErrors()), port_(port) {
    if (!program_.Started()) return;
    ready_ = readyText.isEmpty()
                 ? WaitForListener(port, std::chrono::seconds(10))
                 : program_.WaitFor(QRegularExpression(QRegularExpression::escape(readyText)),
                                    std::chrono::seconds(10));
  }

  bool Ready() const { return ready_; }
  quint16 Port() const { return port_; }
  QString Output() {
    program_.Read();
    return program_.Out();
  }

 private:
  ChildProgram program_;
  quint16 port_;
  bool ready_ = false;
};

#ifdef SOCAT_EXECUTABLE
// The README's socat line for a serial server ("$ socat ... TCP-LISTEN:4001,... /dev/ttyUSB0,..."),
// its words after "socat" with the test's port, listening on loopback alone, and `device` for
// the adapter. Empty when the README has no such line.
inline QStringList ReadmeSocatArguments(quint16 port, const std::string& device) {
  QFile readme(QStringLiteral(KARVELLO_README));
  if (!readme.open(QIODevice::ReadOnly)) return {};
  const QString text = QString::fromUtf8(readme.readAll());
  static const QRegularExpression kLine(QStringLiteral("^\\$ socat (.*TCP-LISTEN:.*)$"),
                                        QRegularExpression::MultilineOption);
  const QRegularExpressionMatch line = kLine.match(text);
  if (!line.hasMatch()) return {};
  const QString words = line.captured(1).section(QLatin1Char('#'), 0, 0);
  QStringList arguments;
  for (QString word : words.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
    if (word.startsWith(QStringLiteral("TCP-LISTEN:"))) {
      word.replace(QRegularExpression(QStringLiteral("^TCP-LISTEN:\\d+")),
                   QStringLiteral("TCP-LISTEN:%1,bind=127.0.0.1").arg(port));
    }
    word.replace(QStringLiteral("/dev/ttyUSB0"), QString::fromStdString(device));
    arguments << word;
  }
  return arguments;
}

// A serial server in front of a serial device (a pseudo-terminal): socat run as the README runs
// it, listening on loopback, passing the bytes both ways as they are, to one connection at a
// time. (Ready when it says it listens: a trial connection would open the device too and take
// bytes meant for the next.)
inline std::unique_ptr<ServerProcess> SerialServer(const std::string& device) {
  const quint16 port = FreePort();
  const QStringList readme = ReadmeSocatArguments(port, device);
  EXPECT_FALSE(readme.isEmpty()) << "the README gives no socat line";
  return std::make_unique<ServerProcess>(
      QStringLiteral(SOCAT_EXECUTABLE),
      QStringList{QStringLiteral("-d"), QStringLiteral("-d")} << readme, port,
      QStringLiteral("listening on"));
}
#endif

// A Modbus TCP gateway played by the test. Each whole request it gets (header and length) goes
// to the answer, which says what to send back, when, and whether to close then.
class PlayedGateway : public QObject {
 public:
  struct Piece {
    std::chrono::milliseconds after{0};  // from the request
    std::vector<std::uint8_t> bytes;
    bool close = false;  // close the connection once the bytes are out
  };
  using Answer = std::function<std::vector<Piece>(const std::vector<std::uint8_t>& request)>;

  PlayedGateway() {
    server_.listen(QHostAddress::LocalHost, 0);
    QObject::connect(&server_, &QTcpServer::newConnection, this, [this] {
      while (QTcpSocket* socket = server_.nextPendingConnection()) Take(socket);
    });
    clock_.start();
  }
  quint16 Port() const { return server_.serverPort(); }
  void SetAnswer(Answer answer) { answer_ = std::move(answer); }

  // What came, in order, and when (ms since the gateway began); when each answer's bytes went.
  std::vector<std::vector<std::uint8_t>> requests;
  std::vector<qint64> requestTimes;
  std::vector<qint64> connectionTimes;
  std::vector<qint64> answerTimes;
  std::vector<std::uint8_t> bytesIn;  // everything that came, requests or not

 private:
  void Take(QTcpSocket* socket) {
    connectionTimes.push_back(clock_.elapsed());
    auto pending = std::make_shared<std::vector<std::uint8_t>>();
    QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket, pending] {
      const QByteArray data = socket->readAll();
      pending->insert(pending->end(), data.begin(), data.end());
      bytesIn.insert(bytesIn.end(), data.begin(), data.end());
      while (pending->size() >= 6) {
        const std::size_t length = static_cast<std::size_t>((*pending)[4] << 8 | (*pending)[5]);
        if (pending->size() < 6 + length) break;
        std::vector<std::uint8_t> request(pending->begin(),
                                          pending->begin() + static_cast<long>(6 + length));
        pending->erase(pending->begin(), pending->begin() + static_cast<long>(6 + length));
        requests.push_back(request);
        requestTimes.push_back(clock_.elapsed());
        if (!answer_) continue;
        for (const Piece& piece : answer_(request)) {
          QTimer::singleShot(piece.after, socket, [this, socket, piece] {
            if (!piece.bytes.empty()) answerTimes.push_back(clock_.elapsed());
            socket->write(reinterpret_cast<const char*>(piece.bytes.data()),
                          static_cast<qint64>(piece.bytes.size()));
            socket->flush();
            if (piece.close) socket->disconnectFromHost();
          });
        }
      }
    });
    QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
  }

  QTcpServer server_;
  QElapsedTimer clock_;
  Answer answer_;
};

// A listener on loopback whose queue of connections is full and that accepts none: a new
// connection to it is neither made nor refused, as to a host that does not answer.
class FullListener {
 public:
  FullListener() {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = LoopbackEndpoint(0);
    socklen_t size = sizeof address;
    if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
        ::listen(listener_, 0) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
      return;
    }
    port_ = ntohs(address.sin_port);
    // Connections that fill the queue (the system takes one more than the backlog of 0).
    for (int& client : clients_) {
      client = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
      [[maybe_unused]] const int started =
          ::connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address);
    }
    RunFor(std::chrono::milliseconds(100));
  }
  ~FullListener() {
    for (int client : clients_) {
      if (client >= 0) ::close(client);
    }
    if (listener_ >= 0) ::close(listener_);
  }
  FullListener(const FullListener&) = delete;
  FullListener& operator=(const FullListener&) = delete;

  // 0 when it could not listen.
  quint16 Port() const { return port_; }

 private:
  int listener_ = -1;
  int clients_[3] = {-1, -1, -1};
  quint16 port_ = 0;
};

}  // namespace karvello::testing
