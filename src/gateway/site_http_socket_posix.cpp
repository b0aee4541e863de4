// The HTTP server's socket calls on Linux (and other POSIX systems).
#include "gateway/site_http_socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace karvello::gateway::http_socket {

bool Wait(socket_t socket, Ready ready, std::chrono::milliseconds timeout) {
  pollfd waited{socket, static_cast<short>(ready == Ready::kToRead ? POLLIN : POLLOUT), 0};
  int got = 0;
  do {
    got = ::poll(&waited, 1, static_cast<int>(timeout.count()));
  } while (got < 0 && errno == EINTR);
  return got > 0;
}

ssize_t Receive(socket_t socket, char* data, std::size_t size) {
  return ::recv(socket, data, size, 0);
}

ssize_t Send(socket_t socket, const char* data, std::size_t size) {
  return ::send(socket, data, size, MSG_NOSIGNAL);
}

void Close(socket_t socket) {
  ::shutdown(socket, SHUT_RDWR);
  ::close(socket);
}

void ListenOptions(socket_t socket) {
  httplib::default_socket_options(socket);
}

void ClearError() {
  errno = 0;
}

std::string ErrorText() {
  return errno != 0 ? std::strerror(errno) : std::string();
}

}  // namespace karvello::gateway::http_socket
