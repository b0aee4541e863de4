#pragma once
// The gateway's HTTP server (karvello-cli watch --http): the page, /api/status, /metrics and
// /healthz of the site, read-only. Its threads (a fixed few) read a copy of the site's state
// taken for each request, never the watch's objects; each connection is dropped after its
// time-outs; the request line is bounded by the library (8192 bytes), a request's line and
// headers together to 64 KiB.

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "gateway/listen_address.h"
#include "gateway/site_state.h"

namespace httplib {
class Server;
}

namespace karvello::gateway {

struct HttpLimits {
  int threads = 8;  // requests answered at once; more wait their turn
  std::chrono::milliseconds readTimeout{5000};
  std::chrono::milliseconds writeTimeout{5000};
  std::chrono::milliseconds idleTimeout{2000};  // a kept-alive connection without a request
  int requestsPerConnection = 100;
};

class BoundedServer;

class SiteHttpServer {
 public:
  // `state` must outlive the server; `every` is the watch's period.
  SiteHttpServer(const SiteState& state, std::chrono::milliseconds every, HttpLimits limits = {});
  ~SiteHttpServer();
  SiteHttpServer(const SiteHttpServer&) = delete;
  SiteHttpServer& operator=(const SiteHttpServer&) = delete;

  // Binds `address` and serves from a thread of its own; false (with `error` set) when it cannot
  // bind.
  bool Start(const ListenAddress& address, std::string& error);
  // Ends the serving; the requests in flight are finished first.
  void Stop();

 private:
  const SiteState& state_;
  std::chrono::milliseconds every_;
  HttpLimits limits_;
  std::unique_ptr<BoundedServer> server_;
  std::thread thread_;
};

}  // namespace karvello::gateway
