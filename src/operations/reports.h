#pragma once
// The reports the operations write into the log box: the status line, the requests as they were
// sent, the reply as it came and the result, lines ended by CR LF, the last without one.

#include <cstdint>
#include <span>
#include <string>

#include "framing/frames.h"

namespace karvello {

// Bytes shown of each reply: the whole reply.
inline constexpr std::size_t kEchoLength = 8;
inline constexpr std::size_t kAddressReplyLength = 7;
inline constexpr std::size_t kResistanceReplyLength = 9;
inline constexpr std::size_t kVoltageReplyLength = 7;

// Each takes the requests that went out and the reply (at least the length shown).
std::string SetAddressReport(const RequestFrame& broadcast, const RequestFrame& confirmation,
                             std::span<const std::uint8_t> echo);
std::string QueryAddressReport(const RequestFrame& request, std::span<const std::uint8_t> reply);
std::string ResistanceReport(const RequestFrame& start, const RequestFrame& read,
                             std::span<const std::uint8_t> reply);
std::string VoltageReport(const RequestFrame& request, std::span<const std::uint8_t> reply);

// The resistance of a reply: the reading (bytes 3 and 4) with the number of decimal places of
// byte 6, the point placed among the reading's own digits; "OL" for more than two places. Where
// the point stands among three or more digits the text keeps a leading space. Needs 7 bytes.
std::string FormatResistance(std::span<const std::uint8_t> reply);
// The voltage of a reply: bytes 3 and 4 as a whole number of volts. Needs 5 bytes.
std::string FormatVoltage(std::span<const std::uint8_t> reply);

}  // namespace karvello
