#include "gateway/mqtt_url.h"

#include <cctype>
#include <stdexcept>

#include "framing/frame_text.h"
#include "present/shown_text.h"

namespace karvello::gateway {
namespace {

// Messages never repeat the URL whole: it may hold the password.
[[noreturn]] void Refuse(const std::string& why) {
  throw std::invalid_argument("the broker URL " + why);
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
  }
  return true;
}

std::string Unescape(std::string_view text, std::string_view what) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    const bool whole = i + 2 < text.size();
    const int high = whole ? HexDigit(text[i + 1]) : -1;
    const int low = whole ? HexDigit(text[i + 2]) : -1;
    if (high < 0 || low < 0) {
      Refuse("has a % in its " + std::string(what) + " that is not followed by two hex digits");
    }
    const char c = static_cast<char>(high * 16 + low);
    // The library takes C strings: a NUL would cut the text short without a word.
    if (c == '\0') Refuse("has %00 in its " + std::string(what));
    out += c;
    i += 2;
  }
  return out;
}

bool IsHostName(std::string_view host) {
  if (host.empty() || host.front() == '.' || host.front() == '-') return false;
  for (char c : host) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-' && c != '_') {
      return false;
    }
  }
  return true;
}

bool IsIpv6(std::string_view host) {
  if (host.find(':') == std::string_view::npos) return false;
  for (char c : host) {
    if (HexDigit(c) < 0 && c != ':' && c != '.') return false;
  }
  return true;
}

int PortOf(std::string_view text) {
  const auto refuse = [&] {
    Refuse("has the port " + QuotedValue(text) + ": a whole number from 1 to 65535 is needed");
  };
  if (text.empty() || text.size() > 5) refuse();
  int port = 0;
  for (char c : text) {
    if (c < '0' || c > '9') refuse();
    port = port * 10 + (c - '0');
  }
  if (port < 1 || port > 65535) refuse();
  return port;
}

}  // namespace

MqttUrl ParseMqttUrl(std::string_view text, const std::optional<std::string>& environmentPassword) {
  MqttUrl url;
  if (StartsWithNoCase(text, "mqtts://")) {
    url.tls = true;
    url.port = kMqttsPort;
    text.remove_prefix(8);
  } else if (StartsWithNoCase(text, "mqtt://")) {
    text.remove_prefix(7);
  } else {
    Refuse("must begin with mqtt:// or mqtts://");
  }

  std::string_view authority = text.substr(0, text.find_first_of("/?#"));
  const std::string_view rest = text.substr(authority.size());
  if (!rest.empty() && rest != "/") Refuse("may not have a path, query or fragment after the host");

  // The last "@": a password may hold "@" unescaped, a host never does.
  if (const std::size_t at = authority.rfind('@'); at != std::string_view::npos) {
    const std::string_view userInfo = authority.substr(0, at);
    authority.remove_prefix(at + 1);
    const std::size_t colon = userInfo.find(':');
    url.user = Unescape(userInfo.substr(0, colon), "user name");
    if (url.user.empty()) Refuse("has no user name before its \"@\"");
    if (colon != std::string_view::npos) {
      url.password = Unescape(userInfo.substr(colon + 1), "password");
    }
  }
  if (!url.user.empty() && !url.password) url.password = environmentPassword;

  std::string_view host = authority;
  if (host.starts_with('[')) {
    const std::size_t close = host.find(']');
    if (close == std::string_view::npos) Refuse("has a \"[\" without its \"]\"");
    const std::string_view after = host.substr(close + 1);
    host = host.substr(1, close - 1);
    if (!IsIpv6(host)) Refuse("has \"[" + std::string(host) + "]\", not an IPv6 address");
    if (!after.empty()) {
      if (after.front() != ':') Refuse("has text after its \"]\" that is not a port");
      url.port = PortOf(after.substr(1));
    }
  } else {
    if (const std::size_t colon = host.find(':'); colon != std::string_view::npos) {
      if (host.find(':', colon + 1) != std::string_view::npos) {
        Refuse("has an IPv6 address without brackets: write mqtt://[ADDRESS]:PORT");
      }
      url.port = PortOf(host.substr(colon + 1));
      host = host.substr(0, colon);
    }
    if (host.empty()) Refuse("has no host");
    if (!IsHostName(host)) Refuse("has " + QuotedValue(host) + ", not a host name or address");
  }
  url.host = std::string(host);
  return url;
}

std::string ShownUrl(const MqttUrl& url) {
  std::string shown = url.tls ? "mqtts://" : "mqtt://";
  if (!url.user.empty()) shown += url.user + "@";
  shown += url.host.find(':') != std::string::npos ? "[" + url.host + "]" : url.host;
  return shown + ":" + std::to_string(url.port);
}

}  // namespace karvello::gateway
