#pragma once
// The slave side of the simulator's pseudo-terminal, opened with plain POSIX calls as a serial
// port would be, for tests.

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace karvello::testing {

struct Received {
  std::vector<std::uint8_t> bytes;
  std::vector<std::chrono::steady_clock::time_point> times;  // arrival of each byte
};

class SlavePort {
 public:
  explicit SlavePort(const std::string& path)
      : fd_(open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)) {
    termios tio{};
    if (fd_ >= 0 && tcgetattr(fd_, &tio) == 0) {
      cfmakeraw(&tio);
      cfsetspeed(&tio, B9600);
      tcsetattr(fd_, TCSANOW, &tio);
    }
  }
  ~SlavePort() {
    if (fd_ >= 0) close(fd_);
  }
  SlavePort(const SlavePort&) = delete;
  SlavePort& operator=(const SlavePort&) = delete;

  int Fd() const { return fd_; }
  bool IsOpen() const { return fd_ >= 0; }

  bool Write(const std::vector<std::uint8_t>& bytes) {
    return write(fd_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  }

  // Reads what arrives: waits up to `first` for the first byte, then until the line has been
  // silent for `silence`.
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

 private:
  int fd_;
};

}  // namespace karvello::testing
