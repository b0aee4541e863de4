// A build without cpp-httplib serves no page.
#include "gateway/site_http_service.h"

namespace karvello::gateway {

std::shared_ptr<void> ServeHttp(const SiteState&, std::chrono::milliseconds, const ListenAddress&,
                                std::string* why) {
  if (why) *why = "this build of karvello-cli has no HTTP server";
  return nullptr;
}

}  // namespace karvello::gateway
