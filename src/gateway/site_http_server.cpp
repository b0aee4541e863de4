#include "gateway/site_http_server.h"

#include <httplib.h>

#include <cerrno>
#include <cstring>

#include "gateway/site_http_answer.h"

namespace karvello::gateway {

SiteHttpServer::SiteHttpServer(const SiteState& state, std::chrono::milliseconds every,
                               HttpLimits limits)
    : state_(state), every_(every), limits_(limits), server_(std::make_unique<httplib::Server>()) {
  const int threads = limits_.threads;
  server_->new_task_queue = [threads] {
    return new httplib::ThreadPool(static_cast<std::size_t>(threads));
  };
  server_->set_read_timeout(limits_.readTimeout);
  server_->set_write_timeout(limits_.writeTimeout);
  server_->set_keep_alive_timeout(limits_.idleTimeout.count());
  server_->set_keep_alive_max_count(static_cast<std::size_t>(limits_.requestsPerConnection));
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
