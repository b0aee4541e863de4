#pragma once
// A loopback port for a server that a test starts and that clients are then pointed at.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <random>

namespace karvello::testing {

// The loopback address 127.0.0.1 at `port` (0: a port the system picks when bound).
inline sockaddr_in LoopbackEndpoint(std::uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

// The first port the system takes for the near end of a connection (Linux's default unless the
// machine says otherwise).
inline int FirstConnectionPort() {
  int first = 32768;
  std::ifstream("/proc/sys/net/ipv4/ip_local_port_range") >> first;
  return first;
}

// A port nothing is bound to now, taken below the ports the system gives to connections. A port
// the system picked itself could be taken as the near end of a connection made by a test running
// beside before the server binds it (the server then fails with "Address already in use").
// 0 if none is found.
inline std::uint16_t FreePort() {
  static std::mt19937 pick{std::random_device{}()};
  const int last = FirstConnectionPort() - 1;
  if (last < 20000) return 0;
  std::uniform_int_distribution<int> band(20000, last);
  for (int tries = 0; tries < 100; ++tries) {
    const int probe = ::socket(AF_INET, SOCK_STREAM, 0);
    if (probe < 0) return 0;
    const int on = 1;
    ::setsockopt(probe, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    const int port = band(pick);
    const sockaddr_in address = LoopbackEndpoint(static_cast<std::uint16_t>(port));
    const bool bound =
        ::bind(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::close(probe);
    if (bound) return static_cast<std::uint16_t>(port);
  }
  return 0;
}

}  // namespace karvello::testing
