#pragma once
// A listening TCP socket for the simulated detector to serve its clients on, one at a time.

#include <cstdint>
#include <string>

namespace karvello::sim {

class TcpListener {
 public:
  // Listens on `host` (a name or a numeric address, IPv4 or IPv6) and `port`, 0 for a free one.
  // Throws std::system_error when it cannot, std::invalid_argument for a host that resolves to
  // nothing.
  TcpListener(const std::string& host, std::uint16_t port);
  ~TcpListener();
  TcpListener(TcpListener&& other) noexcept;
  TcpListener& operator=(TcpListener&&) = delete;
  TcpListener(const TcpListener&) = delete;
  TcpListener& operator=(const TcpListener&) = delete;

  // The listening socket, non-blocking: readable when a client waits.
  int Fd() const { return fd_; }
  // The port listened on (the one picked when 0 was asked for), and the numeric address.
  std::uint16_t Port() const { return port_; }
  const std::string& Host() const { return host_; }

  // The next waiting client's connection, non-blocking, with Nagle's delay off so that each
  // write goes out when it is made; -1 when none waits.
  int Accept() const;

 private:
  int fd_ = -1;
  std::uint16_t port_ = 0;
  std::string host_;
};

}  // namespace karvello::sim
