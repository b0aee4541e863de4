#pragma once
// What the gateway's HTTP server answers a request: its routes (/, /api/status, /metrics,
// /healthz), GET and HEAD only, nothing from the disk. Apart from any HTTP library, so that each
// answer is a plain function of the request and the site's state.

#include <chrono>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "gateway/site_view.h"

namespace karvello::gateway {

struct HttpAnswer {
  int status = 200;
  std::string contentType;
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;  // beyond the content's type
};

// The answer to `method` on `path` (without its query). `snapshot` is asked only for a route
// that shows the site; `moment` is when and the watch's period.
HttpAnswer AnswerRequest(std::string_view method, std::string_view path,
                         const std::function<SiteSnapshot()>& snapshot, const ViewMoment& moment);

}  // namespace karvello::gateway
