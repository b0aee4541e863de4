#pragma once
// Where a server of the gateway listens, as an option gives it: "[HOST:]PORT". HOST is an IPv4
// address (0.0.0.0: every address of the box) or an IPv6 one in brackets ([::1]); without it
// the server listens on the loopback address alone, reachable from the box itself only.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace karvello::gateway {

inline constexpr std::string_view kDefaultListenHost = "127.0.0.1";

struct ListenAddress {
  std::string host;  // "127.0.0.1", "0.0.0.0", "::1" (without its brackets)
  std::uint16_t port = 0;  // 1 to 65535
  bool operator==(const ListenAddress&) const = default;
};

// The address `text` gives; none, with why in `why` (one line, naming `text`), when it gives
// none.
std::optional<ListenAddress> ParseListenAddress(std::string_view text, std::string* why);

// "127.0.0.1:502", "[::1]:502": the address written back for messages.
std::string ListenAddressText(const ListenAddress& address);

}  // namespace karvello::gateway
