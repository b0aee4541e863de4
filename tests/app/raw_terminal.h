#pragma once
// A terminal worked from the test's side as the tool's port works it: opened raw, written, and
// read until the bytes looked for have come.

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace karvello::testing {

// The terminal at `path` opened raw; -1 where it does not open.
inline int OpenRaw(const std::string& path, int flags = O_NONBLOCK) {
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | flags);
  termios raw{};
  if (fd >= 0 && tcgetattr(fd, &raw) == 0) {
    cfmakeraw(&raw);
    tcsetattr(fd, TCSANOW, &raw);
  }
  return fd;
}

// The terminal at `path` opened and left cooked, as another program might leave it: canonical,
// echoing, with signals, CR to NL, XON/XOFF and output processing, 7E2 at 115200 baud; -1 where
// it does not open.
inline int OpenCooked(const std::string& path) {
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY);
  termios tio{};
  if (fd < 0 || tcgetattr(fd, &tio) != 0) return fd;
  tio.c_lflag |= ICANON | ECHO | ISIG;
  tio.c_iflag |= ICRNL | IXON;
  tio.c_oflag |= OPOST | ONLCR;
  tio.c_cflag = (tio.c_cflag & ~static_cast<tcflag_t>(CSIZE)) | CS7 | PARENB | CSTOPB;
  cfsetspeed(&tio, B115200);
  tcsetattr(fd, TCSANOW, &tio);
  return fd;
}

// What of the settings of the terminal `fd` is not raw 9600 baud 8N1, by flag field; empty when
// all is.
inline std::string NotRaw9600(int fd) {
  termios tio{};
  if (tcgetattr(fd, &tio) != 0) return "(no settings)";
  std::string left;
  if (tio.c_lflag & (ICANON | ECHO | ISIG)) left += " lflag";
  if (tio.c_iflag & (ICRNL | IXON)) left += " iflag";
  if (tio.c_oflag & OPOST) left += " oflag";
  if ((tio.c_cflag & (CSIZE | PARENB | CSTOPB)) != CS8) left += " cflag";
  if (cfgetospeed(&tio) != B9600 || cfgetispeed(&tio) != B9600) left += " speed";
  return left;
}

// What `fd` gives within `limit`: until `enough` bytes came and then `quiet` passed with none.
inline std::vector<std::uint8_t> ReadUntil(int fd, std::size_t enough,
                                           std::chrono::milliseconds quiet,
                                           std::chrono::milliseconds limit) {
  std::vector<std::uint8_t> heard;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd in{fd, POLLIN, 0};
    const bool done = heard.size() >= enough;
    if (poll(&in, 1, done ? static_cast<int>(quiet.count()) : 50) <= 0) {
      if (done) break;
      continue;
    }
    std::uint8_t buffer[64];
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n > 0) heard.insert(heard.end(), buffer, buffer + n);
  }
  return heard;
}

// Writes `request` on `fd` and reads what comes back, as ReadUntil does.
inline std::vector<std::uint8_t> Ask(int fd, const std::vector<std::uint8_t>& request,
                                     std::size_t enough, std::chrono::milliseconds quiet,
                                     std::chrono::milliseconds limit) {
  if (write(fd, request.data(), request.size()) != static_cast<ssize_t>(request.size())) return {};
  return ReadUntil(fd, enough, quiet, limit);
}

}  // namespace karvello::testing
