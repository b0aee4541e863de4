#include "sim/tcp_listener.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <stdexcept>
#include <string>
#include <system_error>
#include <tuple>

namespace karvello::sim {

namespace {

[[noreturn]] void Fail(int err, const std::string& what) {
  throw std::system_error(err, std::generic_category(), what);
}

// The numeric address and port of a bound socket's own end.
std::pair<std::string, std::uint16_t> OwnEnd(int fd) {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    Fail(errno, "getsockname");
  }
  char host[NI_MAXHOST];
  char port[NI_MAXSERV];
  if (getnameinfo(reinterpret_cast<sockaddr*>(&address), length, host, sizeof host, port,
                  sizeof port, NI_NUMERICHOST | NI_NUMERICSERV) != 0) {
    return {"", 0};
  }
  return {host, static_cast<std::uint16_t>(std::stoi(port))};
}

}  // namespace

TcpListener::TcpListener(const std::string& host, std::uint16_t port) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(port);
  if (const int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &found); rc != 0) {
    throw std::invalid_argument("cannot listen on " + host + ": " + gai_strerror(rc));
  }
  const std::unique_ptr<addrinfo, void (*)(addrinfo*)> owned(found, freeaddrinfo);
  int err = 0;
  for (const addrinfo* a = found; a != nullptr && fd_ < 0; a = a->ai_next) {
    fd_ = socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
    if (fd_ < 0) {
      err = errno;
      continue;
    }
    // A port left in TIME_WAIT by the run before is free to take again.
    const int on = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (bind(fd_, a->ai_addr, a->ai_addrlen) != 0 || listen(fd_, 4) != 0) {
      err = errno;
      close(fd_);
      fd_ = -1;
    }
  }
  if (fd_ < 0) Fail(err, "listen on " + host + ":" + service);
  std::tie(host_, port_) = OwnEnd(fd_);
}

TcpListener::~TcpListener() {
  if (fd_ >= 0) close(fd_);
}

TcpListener::TcpListener(TcpListener&& other) noexcept
    : fd_(other.fd_), port_(other.port_), host_(std::move(other.host_)) {
  other.fd_ = -1;
}

int TcpListener::Accept() const {
  const int fd = accept4(fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd < 0) return -1;
  const int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  return fd;
}

}  // namespace karvello::sim
