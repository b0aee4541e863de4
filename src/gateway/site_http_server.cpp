#include "gateway/site_http_server.h"

#include <httplib.h>
#include <netinet/in.h>
#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "gateway/site_http_answer.h"

namespace karvello::gateway {
namespace {

// The bytes a request may take, its request line and headers together. The library bounds each
// line (8192 bytes) but not their number.
constexpr std::size_t kLongestRequest = 64 * 1024;

bool Wait(int socket, short events, std::chrono::milliseconds timeout) {
  pollfd ready{socket, events, 0};
  int got = 0;
  do {
    got = ::poll(&ready, 1, static_cast<int>(timeout.count()));
  } while (got < 0 && errno == EINTR);
  return got > 0;
}

// A connection's socket, each read and write bounded in time, and the bytes of each request
// bounded.
class BoundedStream : public httplib::Stream {
 public:
  BoundedStream(int socket, const HttpLimits& limits) : socket_(socket), limits_(limits) {}
  void NextRequest() { taken_ = 0; }

  bool is_readable() const override { return Wait(socket_, POLLIN, limits_.readTimeout); }
  bool is_writable() const override { return Wait(socket_, POLLOUT, limits_.writeTimeout); }
  ssize_t read(char* ptr, std::size_t size) override {
    if (taken_ >= kLongestRequest || !is_readable()) return -1;
    const ssize_t got = ::recv(socket_, ptr, std::min(size, kLongestRequest - taken_), 0);
    if (got > 0) taken_ += static_cast<std::size_t>(got);
    return got;
  }
  ssize_t write(const char* ptr, std::size_t size) override {
    if (!is_writable()) return -1;
    return ::send(socket_, ptr, size, MSG_NOSIGNAL);
  }
  void get_remote_ip_and_port(std::string& ip, int& port) const override {
    Name(::getpeername, ip, port);
  }
  void get_local_ip_and_port(std::string& ip, int& port) const override {
    Name(::getsockname, ip, port);
  }
  socket_t socket() const override { return socket_; }

 private:
  template <typename Get>
  void Name(Get get, std::string& ip, int& port) const {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    ip.clear();
    port = 0;
    if (get(socket_, reinterpret_cast<sockaddr*>(&address), &length) != 0) return;
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

  int socket_;
  const HttpLimits& limits_;
  std::size_t taken_ = 0;
};

}  // namespace

// The library's server with each connection served through a BoundedStream: its requests one
// after another while it is kept alive, up to their number, then closed.
class BoundedServer : public httplib::Server {
 public:
  explicit BoundedServer(const HttpLimits& limits) : limits_(limits) {}

 private:
  bool process_and_close_socket(socket_t socket) override {
    BoundedStream stream(socket, limits_);
    for (int n = 0; n < limits_.requestsPerConnection; ++n) {
      if (n > 0 && !Wait(socket, POLLIN, limits_.idleTimeout)) break;
      stream.NextRequest();
      bool closed = false;
      const bool last = n + 1 == limits_.requestsPerConnection;
      if (!process_request(stream, last, closed, [](httplib::Request&) {}) || closed) break;
    }
    ::shutdown(socket, SHUT_RDWR);
    ::close(socket);
    return true;
  }

  const HttpLimits& limits_;
};

SiteHttpServer::SiteHttpServer(const SiteState& state, std::chrono::milliseconds every,
                               HttpLimits limits)
    : state_(state),
      every_(every),
      limits_(limits),
      server_(std::make_unique<BoundedServer>(limits_)) {
  const int threads = limits_.threads;
  server_->new_task_queue = [threads] {
    return new httplib::ThreadPool(static_cast<std::size_t>(threads));
  };
  server_->set_read_timeout(limits_.readTimeout);
  server_->set_write_timeout(limits_.writeTimeout);
  server_->set_payload_max_length(0);
  // Every request is answered here, before the library's own routing: nothing else is served.
  server_->set_pre_routing_handler([this](const httplib::Request& request,
                                          httplib::Response& response) {
    const HttpAnswer answer = AnswerRequest(
        request.method, request.path, [this] { return state_.Snapshot(); },
        {QDateTime::currentDateTime(), every_});
    response.status = answer.status;
    for (const auto& [name, value] : answer.headers) response.set_header(name, value);
    response.set_content(answer.body, answer.contentType);
    return httplib::Server::HandlerResponse::Handled;
  });
}

SiteHttpServer::~SiteHttpServer() { Stop(); }

bool SiteHttpServer::Start(const ListenAddress& address, std::string& error) {
  errno = 0;
  if (!server_->bind_to_port(address.host, address.port)) {
    error = "cannot listen on " + ListenAddressText(address) +
            (errno != 0 ? std::string(": ") + std::strerror(errno) : std::string());
    return false;
  }
  thread_ = std::thread([this] { server_->listen_after_bind(); });
  return true;
}

void SiteHttpServer::Stop() {
  if (!thread_.joinable()) return;
  server_->stop();
  thread_.join();
}

}  // namespace karvello::gateway
