#pragma once
// Where one of the gateway's servers listens, as the user gives it: "[HOST:]PORT". The host is
// 127.0.0.1 unless given: listening beyond the machine itself is the user's explicit choice.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace karvello::gateway {

inline constexpr std::string_view kDefaultListenHost = "127.0.0.1";

struct ListenAddress {
  std::string host;  // a name or an IPv4 address; "[::1]" is given without its brackets
  std::uint16_t port = 0;
  bool operator==(const ListenAddress&) const = default;
};

// "8080", "0.0.0.0:8080", "gateway.local:8080", "[::1]:8080": the port from 1 to 65535 in
// decimal digits, the host not empty and without white space. None for anything else.
std::optional<ListenAddress> ParseListenAddress(std::string_view text);

// "127.0.0.1:8080", "[::1]:8080".
std::string ListenAddressText(const ListenAddress& address);

}  // namespace karvello::gateway
