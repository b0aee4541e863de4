#pragma once
// The site's page, JSON, metrics and health served over HTTP while a watch runs, where this build
// has cpp-httplib (site_http_server.h); elsewhere none, and why.

#include <chrono>
#include <memory>
#include <string>

#include "gateway/listen_address.h"

namespace karvello::gateway {

class SiteState;

// Serves `site` (which must outlive it; `every` is the watch's period) at `address` for as long
// as the object returned lives; none, with why in `why`, when it cannot listen there.
std::shared_ptr<void> ServeHttp(const SiteState& site, std::chrono::milliseconds every,
                                const ListenAddress& address, std::string* why);

}  // namespace karvello::gateway
