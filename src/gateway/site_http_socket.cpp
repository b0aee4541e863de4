// The HTTP server's socket calls alike on every system (the system's own headers come through
// cpp-httplib's).
#include "gateway/site_http_socket.h"

namespace karvello::gateway::http_socket {

void Name(socket_t socket, bool peer, std::string& ip, int& port) {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  ip.clear();
  port = 0;
  auto* any = reinterpret_cast<sockaddr*>(&address);
  if ((peer ? ::getpeername(socket, any, &length) : ::getsockname(socket, any, &length)) != 0) {
    return;
  }
  char host[64] = {};
  if (address.ss_family == AF_INET) {
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(&address);
    ::inet_ntop(AF_INET, &v4->sin_addr, host, sizeof host);
    port = ntohs(v4->sin_port);
  } else if (address.ss_family == AF_INET6) {
    const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&address);
    ::inet_ntop(AF_INET6, &v6->sin6_addr, host, sizeof host);
    port = ntohs(v6->sin6_port);
  }
  ip = host;
}

}  // namespace karvello::gateway::http_socket
