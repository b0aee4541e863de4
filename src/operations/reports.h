#pragma once
// The reports the operations write into the log box. A report is a list of writes: the first
// replaces the log's text, each later one appends to it. Every text is formed before the first
// write, so a report that cannot be formed (too few bytes, an address box that is not wholly a
// number) comes back empty and nothing is written.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace karvello {

using Report = std::vector<std::string>;

// The CRC bytes the tool holds when a reply is handled: `sent` is the CRC of the first frame of
// a two-request operation, `last` that of the last frame built.
struct CrcPair {
  std::uint8_t lo = 0;
  std::uint8_t hi = 0;
};

std::optional<Report> SetAddressReport(std::span<const std::uint8_t> rx,
                                       std::string_view addressText, CrcPair sent, CrcPair last);
std::optional<Report> QueryAddressReport(std::span<const std::uint8_t> rx);
std::optional<Report> ResistanceReport(std::span<const std::uint8_t> rx,
                                       std::string_view addressText, CrcPair sent, CrcPair last);
std::optional<Report> VoltageReport(std::span<const std::uint8_t> rx, std::string_view addressText,
                                    CrcPair last);

// The resistance of a reply: the reading (bytes 3 and 4) with the number of decimal places of
// byte 6, the point placed among the reading's own digits; "OL" for more than two places. Where
// the point stands among three or more digits the text keeps a leading space. Needs 7 bytes.
std::string FormatResistance(std::span<const std::uint8_t> rx);
// The voltage of a reply: bytes 3 and 4 as a whole number of volts. Needs 5 bytes.
std::string FormatVoltage(std::span<const std::uint8_t> rx);

}  // namespace karvello
