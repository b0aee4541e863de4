#pragma once
// The few socket calls the gateway's HTTP server makes itself, beside cpp-httplib's: one file for
// each system (site_http_socket_posix.cpp, site_http_socket_win.cpp), the build picking one.

#include <httplib.h>

#include <chrono>
#include <cstddef>
#include <string>

namespace karvello::gateway::http_socket {

enum class Ready { kToRead, kToWrite };

// True when `socket` is ready within `timeout`.
bool Wait(socket_t socket, Ready ready, std::chrono::milliseconds timeout);
// As recv and send: the bytes taken or given, 0 at the end, below 0 on a failure.
ssize_t Receive(socket_t socket, char* data, std::size_t size);
ssize_t Send(socket_t socket, const char* data, std::size_t size);
// Both directions shut, then the socket closed.
void Close(socket_t socket);
// The address of this end (`peer` false) or of the other (`peer` true): empty and 0 when unknown.
void Name(socket_t socket, bool peer, std::string& ip, int& port);
// The listening socket's options (on Windows, its port taken by it alone while it listens).
void ListenOptions(socket_t socket);
// Forgets the last failure; then the last failed call's reason, empty when none failed.
void ClearError();
std::string ErrorText();

}  // namespace karvello::gateway::http_socket
