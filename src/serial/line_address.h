#pragma once
// Where a line goes, as a user gives it: a port numbered as the windows number them ("COM3"),
// a serial device ("/dev/ttyUSB0"), a transparent serial server that carries the RTU frames as
// they are ("rtu+tcp://10.0.0.7:4001"), or a Modbus TCP gateway that converts them
// ("tcp://10.0.0.7", port 502 unless given). Every front end opens its line by one.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace karvello {

// COM1 to COM256: the numbers Windows gives serial ports.
inline constexpr int kHighestPortNumber = 256;
// The ports the tool tries whether or not the system lists them: COM1 to COM16.
inline constexpr int kFirstPortNumber = 1;
inline constexpr int kLastPortNumber = 16;
inline constexpr std::uint16_t kModbusTcpPort = 502;

struct LineAddress {
  enum class Kind { kPortNumber, kDevice, kRtuOverTcp, kModbusTcp };
  Kind kind = Kind::kPortNumber;
  int number = 0;          // kPortNumber
  std::string device;      // kDevice
  std::string host;        // the network kinds: a name, an IPv4 address or an IPv6 one
  std::uint16_t port = 0;  // the network kinds
  std::string text;        // as given: the record's port column

  static LineAddress Port(int number);
  bool IsNetwork() const { return kind == Kind::kRtuOverTcp || kind == Kind::kModbusTcp; }
  bool operator==(const LineAddress&) const = default;
};

// The address a text gives; none, with `why` saying what is wrong in one line, for a text that
// is none of the four.
std::optional<LineAddress> ParseLineAddress(std::string_view text, std::string* why = nullptr);

// How a network line connects and paces itself.
inline constexpr std::chrono::milliseconds kDefaultConnectTimeout{3000};
struct NetworkSettings {
  // A host that neither accepts nor refuses within this is unavailable.
  std::chrono::milliseconds connectTimeout = kDefaultConnectTimeout;
  // Some gateways take requests only a while after the connection is made ...
  std::chrono::milliseconds pauseAfterConnect{0};
  // ... or a while after the last exchange.
  std::chrono::milliseconds pause{0};
};
// The longest of each: beyond them a request could never be answered within its time-out.
inline constexpr std::chrono::milliseconds kLongestConnectTimeout{60'000};
inline constexpr std::chrono::milliseconds kLongestPause{10'000};

}  // namespace karvello
