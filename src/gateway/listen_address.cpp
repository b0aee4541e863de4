#include "gateway/listen_address.h"

#include <algorithm>

namespace karvello::gateway {

std::optional<ListenAddress> ParseListenAddress(std::string_view text) {
  ListenAddress address{std::string(kDefaultListenHost), 0};
  std::string_view port = text;
  const std::size_t colon = text.rfind(':');
  if (colon != std::string_view::npos) {
    std::string_view host = text.substr(0, colon);
    port = text.substr(colon + 1);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
      host = host.substr(1, host.size() - 2);
    } else if (host.find(':') != std::string_view::npos) {
      return std::nullopt;  // an IPv6 address without its brackets
    }
    const bool printable = std::all_of(host.begin(), host.end(), [](char c) {
      return static_cast<unsigned char>(c) > 0x20 && static_cast<unsigned char>(c) < 0x7F;
    });
    if (host.empty() || !printable || host.find_first_of("[]/") != std::string_view::npos) {
      return std::nullopt;
    }
    address.host = std::string(host);
  }
  if (port.empty() || port.size() > 5) return std::nullopt;
  unsigned number = 0;
  for (char c : port) {
    if (c < '0' || c > '9') return std::nullopt;
    number = number * 10 + static_cast<unsigned>(c - '0');
  }
  if (number < 1 || number > 65535) return std::nullopt;
  address.port = static_cast<std::uint16_t>(number);
  return address;
}

std::string ListenAddressText(const ListenAddress& address) {
  const bool v6 = address.host.find(':') != std::string::npos;
  return (v6 ? "[" + address.host + "]" : address.host) + ":" + std::to_string(address.port);
}

}  // namespace karvello::gateway
