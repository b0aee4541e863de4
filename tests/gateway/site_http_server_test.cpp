// The gateway's HTTP server over real loopback sockets, on each system the build has (Linux, and
// Windows under Wine): its answers, a request in pieces, a kept-alive connection up to its
// requests, the connections it drops when they idle, and a port already taken.

#include "gateway/site_http_server.h"

#include <gtest/gtest.h>

#include <QByteArray>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "gateway/site_state.h"

namespace karvello::gateway {
namespace {

using namespace std::chrono_literals;

// A loopback port nothing listens on now.
quint16 FreePort() {
  QTcpServer probe;
  return probe.listen(QHostAddress::LocalHost, 0) ? probe.serverPort() : 0;
}

// A server of an empty site on a free port of 127.0.0.1.
struct Served {
  explicit Served(HttpLimits limits = {}) : server(site, 1s, limits) {
    port = FreePort();
    started = port != 0 && server.Start({"127.0.0.1", port}, error);
  }
  SiteState site{"site1"};
  SiteHttpServer server;
  quint16 port = 0;
  std::string error;
  bool started = false;
};

// A client's connection: bytes written as given; what comes back, up to the server's close or a
// time.
class Connection {
 public:
  explicit Connection(quint16 port) {
    socket_.connectToHost(QHostAddress::LocalHost, port);
    connected_ = socket_.waitForConnected(3000);
  }
  bool Connected() const { return connected_; }
  void Write(const QByteArray& bytes) {
    socket_.write(bytes);
    socket_.waitForBytesWritten(3000);
  }
  // What has come once `answers` answers have (each ends its headers with an empty line and its
  // body is short), or whatever came by `timeout`.
  QByteArray Read(int answers, std::chrono::milliseconds timeout = 5s) {
    QElapsedTimer clock;
    clock.start();
    while (received_.count("\r\n\r\n") < answers && clock.elapsed() < timeout.count() &&
           socket_.state() == QAbstractSocket::ConnectedState) {
      socket_.waitForReadyRead(100);
      received_ += socket_.readAll();
    }
    // The body of the last answer, if it comes just after its headers.
    socket_.waitForReadyRead(200);
    received_ += socket_.readAll();
    return received_;
  }
  // True when the server closes the connection within `timeout` of `since` (by default, now);
  // the time since `since` in `took`.
  bool ClosedWithin(std::chrono::milliseconds timeout, qint64* took = nullptr,
                    const QElapsedTimer* since = nullptr) {
    QElapsedTimer clock;
    clock.start();
    if (since) clock = *since;
    while (clock.elapsed() < timeout.count() &&
           socket_.state() == QAbstractSocket::ConnectedState) {
      if (socket_.waitForReadyRead(50)) received_ += socket_.readAll();
    }
    if (took) *took = clock.elapsed();
    return socket_.state() != QAbstractSocket::ConnectedState;
  }

 private:
  QTcpSocket socket_;
  bool connected_ = false;
  QByteArray received_;
};

QByteArray Get(const char* path, const char* extra = "") {
  return QByteArray("GET ") + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + extra + "\r\n";
}

// Each request in pieces, as a slow client sends it.
TEST(SiteHttpServer, AnswersEachRequestWithItsRoutesStatus) {
  Served served;
  ASSERT_TRUE(served.started) << served.error;
  const struct {
    QByteArray request;
    const char* statusLine;
    const char* body;  // a part of it
  } cases[] = {
      {Get("/metrics"), "HTTP/1.1 200 OK\r\n", "karvello_line_up"},
      {Get("/api/status"), "HTTP/1.1 200 OK\r\n", "\"site\":\"site1\""},
      {Get("/"), "HTTP/1.1 200 OK\r\n", "<html"},
      {Get("/healthz"), "HTTP/1.1 503 Service Unavailable\r\n", ""},  // nothing read yet
      {Get("/nothing"), "HTTP/1.1 404 Not Found\r\n", ""},
      {"POST /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 0\r\n\r\n",
       "HTTP/1.1 405 Method Not Allowed\r\n", ""},
  };
  for (const auto& c : cases) {
    Connection connection(served.port);
    ASSERT_TRUE(connection.Connected());
    for (const QByteArray& piece : {c.request.left(5), c.request.mid(5, 20), c.request.mid(25)}) {
      connection.Write(piece);
      std::this_thread::sleep_for(50ms);
    }
    const QByteArray answer = connection.Read(1);
    EXPECT_TRUE(answer.startsWith(c.statusLine)) << answer.toStdString();
    EXPECT_TRUE(answer.contains(c.body)) << answer.toStdString();
  }
}

// Two requests a connection: both answered on it, then it is closed.
TEST(SiteHttpServer, AnswersAKeptConnectionUpToItsRequestsThenClosesIt) {
  HttpLimits limits;
  limits.requestsPerConnection = 2;
  Served served(limits);
  ASSERT_TRUE(served.started) << served.error;
  Connection connection(served.port);
  ASSERT_TRUE(connection.Connected());
  connection.Write(Get("/healthz"));
  connection.Write(Get("/metrics"));
  const QByteArray answers = connection.Read(2);
  EXPECT_EQ(answers.count("HTTP/1.1 "), 2) << answers.toStdString();
  EXPECT_TRUE(connection.ClosedWithin(3s)) << "the third request's turn never ended";
}

// A connection that sends nothing at first, or nothing after an answer: closed after its time-out,
// not before.
TEST(SiteHttpServer, DropsAConnectionThatIdles) {
  HttpLimits limits;
  limits.readTimeout = 400ms;
  limits.idleTimeout = 400ms;
  Served served(limits);
  ASSERT_TRUE(served.started) << served.error;
  for (const bool answeredFirst : {false, true}) {
    Connection connection(served.port);
    ASSERT_TRUE(connection.Connected());
    // From before the request: the idle time begins once it is answered.
    QElapsedTimer since;
    since.start();
    if (answeredFirst) {
      connection.Write(Get("/healthz"));
      ASSERT_TRUE(connection.Read(1).startsWith("HTTP/1.1 503")) << answeredFirst;
    }
    qint64 took = 0;
    EXPECT_TRUE(connection.ClosedWithin(5s, &took, &since)) << answeredFirst;
    EXPECT_GE(took, 350) << answeredFirst;
  }
}

// The port another program listens on: refused with the system's reason, and the other
// program's listener left as it was.
TEST(SiteHttpServer, RefusesAPortAnotherProgramListensOn) {
  QTcpServer other;
  ASSERT_TRUE(other.listen(QHostAddress::LocalHost, 0));
  const quint16 port = other.serverPort();
  SiteState site("site2");
  SiteHttpServer second(site, 1s);
  std::string error;
  EXPECT_FALSE(second.Start({"127.0.0.1", port}, error)) << port;
  const std::string said = "cannot listen on 127.0.0.1:" + std::to_string(port) + ": ";
  EXPECT_EQ(error.substr(0, said.size()), said) << error;
  EXPECT_GT(error.size(), said.size()) << "no reason given: " << error;
  EXPECT_TRUE(other.isListening());
}

// A server stopped as soon as it has started (a watch that ends at once): the stop ends it, each
// time. (On its own thread: a stop that waited for good would otherwise hold up the suite.)
TEST(SiteHttpServer, StopsRightAfterItStarts) {
  constexpr int kRounds = 20;
  std::vector<quint16> ports;
  for (int i = 0; i < kRounds; ++i) ports.push_back(FreePort());
  const auto stopped = std::make_shared<std::atomic<int>>(0);
  std::thread([ports, stopped] {
    for (const quint16 port : ports) {
      SiteState site("site1");
      SiteHttpServer server(site, 1s);
      std::string error;
      if (!server.Start({"127.0.0.1", port}, error)) return;
      server.Stop();
      ++*stopped;
    }
  }).detach();
  QElapsedTimer clock;
  clock.start();
  while (*stopped < kRounds && clock.elapsed() < 10000) std::this_thread::sleep_for(10ms);
  ASSERT_EQ(*stopped, kRounds) << "a Stop() right after Start() did not return";
}

}  // namespace
}  // namespace karvello::gateway
