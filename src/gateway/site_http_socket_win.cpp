// The HTTP server's socket calls on Windows (Winsock; WSAStartup is the library's).
#include "gateway/site_http_socket.h"

#include <windows.h>
#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <climits>

namespace karvello::gateway::http_socket {
namespace {

int Chunk(std::size_t size) {
  return static_cast<int>(std::min<std::size_t>(size, INT_MAX));
}

}  // namespace

bool Wait(socket_t socket, Ready ready, std::chrono::milliseconds timeout) {
  WSAPOLLFD waited{socket, static_cast<SHORT>(ready == Ready::kToRead ? POLLRDNORM : POLLWRNORM),
                   0};
  return ::WSAPoll(&waited, 1, static_cast<INT>(timeout.count())) > 0;
}

ssize_t Receive(socket_t socket, char* data, std::size_t size) {
  return ::recv(socket, data, Chunk(size), 0);
}

ssize_t Send(socket_t socket, const char* data, std::size_t size) {
  return ::send(socket, data, Chunk(size), 0);
}

void Close(socket_t socket) {
  ::shutdown(socket, SD_BOTH);
  ::closesocket(socket);
}

void ListenOptions(socket_t socket) {
  // The port is this socket's alone: with SO_REUSEADDR (the library's choice) another program
  // could bind it too and take its connections.
  BOOL yes = TRUE;
  ::setsockopt(socket, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&yes),
               sizeof yes);
}

void ClearError() {
  ::WSASetLastError(0);
}

std::string ErrorText() {
  const int code = ::WSAGetLastError();
  if (code == 0) return {};
  char text[256] = {};
  const DWORD length =
      ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                       static_cast<DWORD>(code), 0, text, sizeof text, nullptr);
  std::string said(text, length);
  while (!said.empty() && (said.back() == '\n' || said.back() == '\r' || said.back() == '.')) {
    said.pop_back();
  }
  return said.empty() ? "Winsock error " + std::to_string(code) : said;
}

}  // namespace karvello::gateway::http_socket
