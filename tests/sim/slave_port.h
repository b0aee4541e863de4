#pragma once
// The slave side of the simulator's pseudo-terminal, opened with plain POSIX calls as a serial
// port would be, for tests; and a TCP client of the simulator's listener, likewise.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace karvello::testing {

// A detector's log of exchanges that holds one: `request` taken and `reply` given.
template <typename Log>
void ExpectOneExchange(const Log& log, const std::vector<std::uint8_t>& request,
                       const std::vector<std::uint8_t>& reply) {
  ASSERT_EQ(log.size(), 1U);
  EXPECT_EQ(log[0].request, request);
  EXPECT_EQ(log[0].reply, reply);
}

struct Received {
  std::vector<std::uint8_t> bytes;
  std::vector<std::chrono::steady_clock::time_point> times;  // arrival of each byte
};

// An open descriptor, read by poll: the slave side of a pseudo-terminal or a TCP socket.
class Endpoint {
 public:
  Endpoint(const Endpoint&) = delete;
  Endpoint& operator=(const Endpoint&) = delete;
  ~Endpoint() { Close(); }

  int Fd() const { return fd_; }
  bool IsOpen() const { return fd_ >= 0; }
  bool Write(const std::vector<std::uint8_t>& bytes) {
    const ssize_t n = socket_ ? send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL)
                              : write(fd_, bytes.data(), bytes.size());
    return n == static_cast<ssize_t>(bytes.size());
  }
  // Reads what arrives: waits up to `first` for the first byte, then until it has been silent
  // for `silence` (or is closed).
  Received Read(std::chrono::milliseconds first, std::chrono::milliseconds silence) {
    Received r;
    for (;;) {
      pollfd p{fd_, POLLIN, 0};
      const auto wait = r.bytes.empty() ? first : silence;
      if (poll(&p, 1, static_cast<int>(wait.count())) <= 0 || !(p.revents & POLLIN)) return r;
      std::uint8_t buffer[256];
      const ssize_t n = read(fd_, buffer, sizeof buffer);
      if (n <= 0) return r;
      const auto now = std::chrono::steady_clock::now();
      r.bytes.insert(r.bytes.end(), buffer, buffer + n);
      r.times.insert(r.times.end(), static_cast<std::size_t>(n), now);
    }
  }
  // The other side closed: end of file within `within`.
  bool Closed(std::chrono::milliseconds within) {
    pollfd p{fd_, POLLIN, 0};
    std::uint8_t byte = 0;
    return poll(&p, 1, static_cast<int>(within.count())) == 1 && read(fd_, &byte, 1) == 0;
  }
  void Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

 protected:
  Endpoint(int fd, bool socket) : fd_(fd), socket_(socket) {}
  int fd_;

 private:
  bool socket_;
};

// The pseudo-terminal's slave side, opened raw at 9600 baud as a serial port would be.
class SlavePort : public Endpoint {
 public:
  explicit SlavePort(const std::string& path)
      : Endpoint(open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC), false) {
    termios tio{};
    if (fd_ >= 0 && tcgetattr(fd_, &tio) == 0) {
      cfmakeraw(&tio);
      cfsetspeed(&tio, B9600);
      tcsetattr(fd_, TCSANOW, &tio);
    }
  }
};

// A client connected to 127.0.0.1:`port` (blocking writes).
class TcpClient : public Endpoint {
 public:
  explicit TcpClient(std::uint16_t port)
      : Endpoint(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0), true) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd_ >= 0 && connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      Close();
    }
  }
};

}  // namespace karvello::testing
