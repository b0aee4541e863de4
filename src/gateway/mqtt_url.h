#pragma once
// Where the watch publishes: the broker named as mqtt://[USER[:PASSWORD]@]HOST[:PORT] (plain
// TCP, port 1883) or mqtts://... (TLS, port 8883).

#include <optional>
#include <string>
#include <string_view>

namespace karvello::gateway {

// The environment variable that may hold the password, so that it need not stand in the
// command line (which any user can read in the process list).
inline constexpr const char* kMqttPasswordVariable = "KARVELLO_MQTT_PASSWORD";

inline constexpr int kMqttPort = 1883;
inline constexpr int kMqttsPort = 8883;

struct MqttUrl {
  bool tls = false;
  std::string host;  // a name, an IPv4 address, or an IPv6 address without its brackets
  int port = kMqttPort;
  std::string user;                     // empty: no login
  std::optional<std::string> password;  // only with a user
  bool operator==(const MqttUrl&) const = default;
};

// Reads the URL. USER and PASSWORD may hold %XX escapes (%40 for "@", %3A for ":"); HOST may be
// [IPv6]; a trailing "/" is allowed, no other path, query or fragment. `environmentPassword`
// (the variable's value, when set) is the password for a USER given without one; the URL's own
// password wins. Throws std::invalid_argument with a one-line message, which the caller reports
// as bad usage.
MqttUrl ParseMqttUrl(std::string_view text,
                     const std::optional<std::string>& environmentPassword = std::nullopt);

// "mqtts://gateway@broker.example:8883": the URL without its password, for messages.
std::string ShownUrl(const MqttUrl& url);

}  // namespace karvello::gateway
