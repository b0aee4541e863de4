// The addresses a user gives a line by: the four kinds, their defaults and edges, and what is
// refused with a reason.

#include "serial/line_address.h"

#include <gtest/gtest.h>

namespace karvello {
namespace {

using Kind = LineAddress::Kind;

TEST(LineAddress, EachKindIsReadWithItsParts) {
  const struct {
    const char* text;
    Kind kind;
    int number;
    const char* device;
    const char* host;
    std::uint16_t port;
  } cases[] = {
      {"COM1", Kind::kPortNumber, 1, "", "", 0},
      {"com23", Kind::kPortNumber, 23, "", "", 0},
      {"COM256", Kind::kPortNumber, 256, "", "", 0},
      {"/dev/ttyUSB0", Kind::kDevice, 0, "/dev/ttyUSB0", "", 0},
      {"\\\\.\\COM300", Kind::kDevice, 0, "\\\\.\\COM300", "", 0},
      {"rtu+tcp://10.0.0.7:4001", Kind::kRtuOverTcp, 0, "", "10.0.0.7", 4001},
      {"RTU+TCP://gw.site1.example:1", Kind::kRtuOverTcp, 0, "", "gw.site1.example", 1},
      {"rtu+tcp://[fe80::1]:65535", Kind::kRtuOverTcp, 0, "", "fe80::1", 65535},
      {"tcp://10.0.0.7", Kind::kModbusTcp, 0, "", "10.0.0.7", 502},
      {"tcp://10.0.0.7:1502", Kind::kModbusTcp, 0, "", "10.0.0.7", 1502},
      {"tcp://[::1]", Kind::kModbusTcp, 0, "", "::1", 502},
  };
  for (const auto& c : cases) {
    std::string why;
    const auto address = ParseLineAddress(c.text, &why);
    ASSERT_TRUE(address.has_value()) << c.text << ": " << why;
    EXPECT_EQ(address->kind, c.kind) << c.text;
    EXPECT_EQ(address->number, c.number) << c.text;
    EXPECT_EQ(address->device, c.device) << c.text;
    EXPECT_EQ(address->host, c.host) << c.text;
    EXPECT_EQ(address->port, c.port) << c.text;
    // The record names the line as the user gave it (a port number as COMn).
    EXPECT_EQ(address->text,
              c.kind == Kind::kPortNumber ? "COM" + std::to_string(c.number) : std::string(c.text));
  }
}

TEST(LineAddress, WhatIsNoneOfThemIsRefusedWithItsReason) {
  const struct {
    const char* text;
    const char* reason;  // a part of it
  } cases[] = {
      {"COM0", "COM1 to COM256"},
      {"COM257", "COM1 to COM256"},
      {"", "is no port"},
      {"ttyUSB0", "is no port"},
      {"rtu+tcp://10.0.0.7", "needs the server's port"},
      {"rtu+tcp://10.0.0.7:0", "1 to 65535"},
      {"tcp://10.0.0.7:65536", "1 to 65535"},
      {"tcp://10.0.0.7:50x", "1 to 65535"},
      {"tcp://", "no host name"},
      {"tcp://host/path", "no host name"},
      {"tcp://user@host", "no host name"},
      {"tcp://[::1", "closing ]"},
      {"tcp://[zz]:502", "no IPv6 address"},
      {"udp://10.0.0.7:502", "rtu+tcp://HOST:PORT or tcp://HOST[:PORT]"},
  };
  for (const auto& c : cases) {
    std::string why;
    EXPECT_FALSE(ParseLineAddress(c.text, &why).has_value()) << c.text;
    EXPECT_NE(why.find(c.reason), std::string::npos) << c.text << ": " << why;
  }
}

}  // namespace
}  // namespace karvello
