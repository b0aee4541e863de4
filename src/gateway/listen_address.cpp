#include "gateway/listen_address.h"

#include <charconv>

namespace karvello::gateway {
namespace {

// A whole number of 1 to `digits` decimal digits, at most `highest`.
std::optional<unsigned> Number(std::string_view text, std::size_t digits, unsigned highest) {
  if (text.empty() || text.size() > digits) return std::nullopt;
  unsigned value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || value > highest) {
    return std::nullopt;
  }
  return value;
}

bool IsIpv4(std::string_view host) {
  for (int part = 0; part < 4; ++part) {
    const std::size_t dot = host.find('.');
    if ((part < 3) == (dot == std::string_view::npos)) return false;
    if (!Number(host.substr(0, dot), 3, 255)) return false;
    host.remove_prefix(dot == std::string_view::npos ? host.size() : dot + 1);
  }
  return true;
}

// The characters of an IPv6 address, two colons at least; the server's listen judges the rest.
bool LooksIpv6(std::string_view host) {
  int colons = 0;
  for (char c : host) {
    const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    if (c == ':') {
      ++colons;
    } else if (!hex && c != '.') {
      return false;
    }
  }
  return colons >= 2 && host.size() <= 45;
}

}  // namespace

std::optional<ListenAddress> ParseListenAddress(std::string_view text, std::string* why) {
  const auto refuse = [&](const std::string& reason) -> std::optional<ListenAddress> {
    if (why) *why = "\"" + std::string(text) + "\" " + reason;
    return std::nullopt;
  };
  ListenAddress address{std::string(kDefaultListenHost), 0};
  std::string_view port = text;
  if (text.starts_with('[')) {
    const std::size_t close = text.find("]:");
    if (close == std::string_view::npos) return refuse("is not [IPV6]:PORT");
    const std::string_view host = text.substr(1, close - 1);
    if (!LooksIpv6(host)) return refuse("does not give an IPv6 address in its brackets");
    address.host = std::string(host);
    port = text.substr(close + 2);
  } else if (const std::size_t colon = text.rfind(':'); colon != std::string_view::npos) {
    const std::string_view host = text.substr(0, colon);
    if (!IsIpv4(host)) {
      return refuse("does not give an IPv4 address (0.0.0.0, 192.0.2.10) or [IPV6] as HOST");
    }
    address.host = std::string(host);
    port = text.substr(colon + 1);
  }
  const auto number = Number(port, 5, 65535);
  if (!number || *number == 0) return refuse("does not end in a port from 1 to 65535");
  address.port = static_cast<std::uint16_t>(*number);
  return address;
}

std::string ListenAddressText(const ListenAddress& address) {
  const bool six = address.host.find(':') != std::string::npos;
  return (six ? "[" + address.host + "]" : address.host) + ":" + std::to_string(address.port);
}

}  // namespace karvello::gateway
