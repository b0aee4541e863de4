#include "gateway/site_http_answer.h"

#include "gateway/site_health.h"
#include "gateway/site_metrics.h"
#include "gateway/site_page.h"
#include "gateway/site_status_json.h"

namespace karvello::gateway {
namespace {

// The page may run its own inline script and style and ask its own server; nothing else.
constexpr std::string_view kPagePolicy =
    "default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; "
    "connect-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

HttpAnswer Text(int status, std::string body) {
  return {status, "text/plain; charset=utf-8", std::move(body) + "\n", {}};
}

}  // namespace

HttpAnswer AnswerRequest(std::string_view method, std::string_view path,
                         const std::function<SiteSnapshot()>& snapshot, const ViewMoment& moment) {
  HttpAnswer answer;
  if (method != "GET" && method != "HEAD") {
    answer = Text(405, "only GET and HEAD");
    answer.headers.emplace_back("Allow", "GET, HEAD");
  } else if (path == "/") {
    answer = {200, "text/html; charset=utf-8", PageHtml(snapshot(), moment), {}};
    answer.headers.emplace_back("Content-Security-Policy", kPagePolicy);
  } else if (path == "/api/status") {
    answer = {200, "application/json", StatusJson(snapshot(), moment), {}};
  } else if (path == "/metrics") {
    answer = {200, "text/plain; version=0.0.4; charset=utf-8", MetricsText(snapshot(), moment), {}};
  } else if (path == "/healthz") {
    const Health health = HealthOf(snapshot(), moment);
    answer = Text(health.well ? 200 : 503, health.text);
  } else {
    answer = Text(404, "not found");
  }
  answer.headers.emplace_back("Cache-Control", "no-store");
  answer.headers.emplace_back("X-Content-Type-Options", "nosniff");
  return answer;
}

}  // namespace karvello::gateway
