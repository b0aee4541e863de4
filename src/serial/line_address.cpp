#include "serial/line_address.h"

#include <algorithm>
#include <cctype>

namespace karvello {
namespace {

bool Digits(std::string_view text) {
  return !text.empty() && std::all_of(text.begin(), text.end(),
                                      [](unsigned char c) { return std::isdigit(c) != 0; });
}

// A whole number from `low` to `high`, digits only.
std::optional<long> Whole(std::string_view text, long low, long high) {
  if (!Digits(text) || text.size() > 6) return std::nullopt;
  const long value = std::stol(std::string(text));
  if (value < low || value > high) return std::nullopt;
  return value;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() &&
         std::equal(prefix.begin(), prefix.end(), text.begin(), [](char a, char b) {
           return std::tolower(static_cast<unsigned char>(a)) ==
                  std::tolower(static_cast<unsigned char>(b));
         });
}

// A host name (letters, digits, '-', '.', '_') or an IPv4 address.
bool IsHostName(std::string_view host) {
  return !host.empty() && host.size() <= 253 &&
         std::all_of(host.begin(), host.end(), [](unsigned char c) {
           return std::isalnum(c) != 0 || c == '-' || c == '.' || c == '_';
         });
}

bool IsIpv6(std::string_view host) {
  return host.size() >= 2 && host.find(':') != std::string_view::npos &&
         std::all_of(host.begin(), host.end(),
                     [](unsigned char c) { return std::isxdigit(c) != 0 || c == ':' || c == '.'; });
}

std::optional<LineAddress> Fail(std::string* why, std::string message) {
  if (why != nullptr) *why = std::move(message);
  return std::nullopt;
}

// "HOST:PORT", "HOST" (with `fallbackPort`), "[V6]:PORT" or "[V6]".
std::optional<LineAddress> Network(LineAddress::Kind kind, std::string_view rest,
                                   std::optional<std::uint16_t> fallbackPort,
                                   std::string_view scheme, std::string* why) {
  std::string_view host = rest;
  std::optional<std::string_view> port;
  if (rest.starts_with('[')) {
    const auto close = rest.find(']');
    if (close == std::string_view::npos) return Fail(why, "an IPv6 address needs its closing ]");
    host = rest.substr(1, close - 1);
    const std::string_view after = rest.substr(close + 1);
    if (!after.empty()) {
      if (!after.starts_with(':'))
        return Fail(why, "after [" + std::string(host) + "] comes :PORT");
      port = after.substr(1);
    }
    if (!IsIpv6(host)) return Fail(why, "\"" + std::string(host) + "\" is no IPv6 address");
  } else {
    const auto colon = rest.rfind(':');
    if (colon != std::string_view::npos) {
      host = rest.substr(0, colon);
      port = rest.substr(colon + 1);
    }
    if (!IsHostName(host)) {
      return Fail(why, "\"" + std::string(host) + "\" is no host name or address");
    }
  }
  LineAddress address;
  address.kind = kind;
  address.host = std::string(host);
  if (port) {
    const auto number = Whole(*port, 1, 65535);
    if (!number)
      return Fail(why,
                  "the port takes a number from 1 to 65535, not \"" + std::string(*port) + "\"");
    address.port = static_cast<std::uint16_t>(*number);
  } else if (fallbackPort) {
    address.port = *fallbackPort;
  } else {
    return Fail(why, std::string(scheme) + " needs the server's port: " + std::string(scheme) +
                         "HOST:PORT");
  }
  return address;
}

}  // namespace

LineAddress LineAddress::Port(int number) {
  LineAddress address;
  address.kind = Kind::kPortNumber;
  address.number = number;
  address.text = "COM" + std::to_string(number);
  return address;
}

std::optional<LineAddress> ParseLineAddress(std::string_view text, std::string* why) {
  constexpr std::string_view kRtuOverTcp = "rtu+tcp://";
  constexpr std::string_view kModbusTcp = "tcp://";
  std::optional<LineAddress> address;
  if (StartsWithNoCase(text, kRtuOverTcp)) {
    address = Network(LineAddress::Kind::kRtuOverTcp, text.substr(kRtuOverTcp.size()), std::nullopt,
                      kRtuOverTcp, why);
  } else if (StartsWithNoCase(text, kModbusTcp)) {
    address = Network(LineAddress::Kind::kModbusTcp, text.substr(kModbusTcp.size()), kModbusTcpPort,
                      kModbusTcp, why);
  } else if (text.find("://") != std::string_view::npos) {
    return Fail(why, "\"" + std::string(text) + "\": a network line is rtu+tcp://HOST:PORT or " +
                         "tcp://HOST[:PORT]");
  } else if (StartsWithNoCase(text, "COM") && Digits(text.substr(3))) {
    const auto number = Whole(text.substr(3), 1, kHighestPortNumber);
    if (!number) return Fail(why, "ports are COM1 to COM" + std::to_string(kHighestPortNumber));
    return LineAddress::Port(static_cast<int>(*number));
  } else if (text.starts_with('/') || text.starts_with("\\\\.\\")) {
    LineAddress device;
    device.kind = LineAddress::Kind::kDevice;
    device.device = std::string(text);
    device.text = device.device;
    return device;
  } else {
    return Fail(why, "\"" + std::string(text) + "\" is no port: give COM1 to COM" +
                         std::to_string(kHighestPortNumber) +
                         ", a device path, rtu+tcp://HOST:PORT or tcp://HOST[:PORT]");
  }
  if (address) address->text = std::string(text);
  return address;
}

}  // namespace karvello
