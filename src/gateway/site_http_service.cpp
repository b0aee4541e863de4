#include "gateway/site_http_service.h"

#include "gateway/site_http_server.h"

namespace karvello::gateway {

std::shared_ptr<void> ServeHttp(const SiteState& site, std::chrono::milliseconds every,
                                const ListenAddress& address, std::string* why) {
  auto server = std::make_shared<SiteHttpServer>(site, every);
  std::string error;
  if (!server->Start(address, error)) {
    if (why) *why = error;
    return nullptr;
  }
  return server;
}

}  // namespace karvello::gateway
