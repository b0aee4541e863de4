#include "gateway/site_http_server.h"

#include <httplib.h>

#include <algorithm>
#include <atomic>

#include "gateway/site_http_answer.h"
#include "gateway/site_http_socket.h"

namespace karvello::gateway {
namespace {

// The bytes a request may take, its request line and headers together. The library bounds each
// line (8192 bytes) but not their number.
constexpr std::size_t kLongestRequest = 64 * 1024;

using http_socket::Ready;

// A connection's socket, each read and write bounded in time, and the bytes of each request
// bounded.
class BoundedStream : public httplib::Stream {
 public:
  BoundedStream(socket_t socket, const HttpLimits& limits) : socket_(socket), limits_(limits) {}
  void NextRequest() { taken_ = 0; }

  bool is_readable() const override {
    return http_socket::Wait(socket_, Ready::kToRead, limits_.readTimeout);
  }
  bool is_writable() const override {
    return http_socket::Wait(socket_, Ready::kToWrite, limits_.writeTimeout);
  }
  ssize_t read(char* ptr, std::size_t size) override {
    if (taken_ >= kLongestRequest || !is_readable()) return -1;
    const ssize_t got = http_socket::Receive(socket_, ptr, std::min(size, kLongestRequest - taken_));
    if (got > 0) taken_ += static_cast<std::size_t>(got);
    return got;
  }
  ssize_t write(const char* ptr, std::size_t size) override {
    if (!is_writable()) return -1;
    return http_socket::Send(socket_, ptr, size);
  }
  void get_remote_ip_and_port(std::string& ip, int& port) const override {
    http_socket::Name(socket_, true, ip, port);
  }
  void get_local_ip_and_port(std::string& ip, int& port) const override {
    http_socket::Name(socket_, false, ip, port);
  }
  socket_t socket() const override { return socket_; }

 private:
  socket_t socket_;
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
      if (n > 0 && !http_socket::Wait(socket, Ready::kToRead, limits_.idleTimeout)) break;
      stream.NextRequest();
      bool closed = false;
      const bool last = n + 1 == limits_.requestsPerConnection;
      if (!process_request(stream, last, closed, [](httplib::Request&) {}) || closed) break;
    }
    http_socket::Close(socket);
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
  server_->set_socket_options(http_socket::ListenOptions);
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
  http_socket::ClearError();
  if (!server_->bind_to_port(address.host, address.port)) {
    const std::string why = http_socket::ErrorText();
    error = "cannot listen on " + ListenAddressText(address) +
            (why.empty() ? std::string() : ": " + why);
    return false;
  }
  const auto ended = std::make_shared<std::atomic<bool>>(false);
  thread_ = std::thread([this, ended] {
    server_->listen_after_bind();
    *ended = true;
  });
  // The library's stop() does nothing until its loop has begun: wait for that, so that a Stop()
  // right after this ends the serving instead of waiting for it for good.
  while (!server_->is_running() && !*ended) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

void SiteHttpServer::Stop() {
  if (!thread_.joinable()) return;
  server_->stop();
  thread_.join();
}

}  // namespace karvello::gateway
