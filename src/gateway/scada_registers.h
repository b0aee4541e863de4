#pragma once
// The site as a SCADA reads it over Modbus TCP: the registers of the gateway (unit 0) and of
// each detector the watch reads (the unit id is its address), made from a snapshot of the
// site's state at the time of a request. Read-only: functions 3 and 4 read the same registers,
// every other function is refused. A value is never given as a reading when it is not one: a
// detector's own registers are refused (0x0B) while its last reading of that quantity failed,
// and the quality block tells each value's state and age.
//
// A detector's unit:
//   0x000D resistance as the detector gave it   0x000E its decimal count (over 2: over range)
//   0x000F voltage                               0x0012 the address
//   0x0100 resistance state (ReadingState)       0x0101-02 last answered, hundredths of an ohm
//   0x0103-04 its age in s                       0x0105 voltage state
//   0x0106 last answered voltage, V              0x0107-08 its age in s
//   0x0109 alarm (1 raised)                      0x010A failed readings in a row
//   0x010B-0C answered readings                  0x010D-0E failed readings (since the start)
//   0x010F no-answer alarm (1 raised)            0x0110-11 seconds since it was set aside
// The gateway's unit 0:
//   0x0000 line (1 open)  0x0001 broker (0 not used, 1 connected, 2 not)  0x0002-03 messages
//   waiting  0x0004-05 seconds since the start  0x0006 detectors read  0x0007 record (1 not
//   failing, 0 failing)  0x0008 alarms raised now  0x0009 no-answer alarms raised now
// A 32-bit value is two registers, the high word first; "none" is all ones (0xFFFF,
// 0xFFFFFFFF); counts saturate.

#include <QDateTime>
#include <cstdint>
#include <span>
#include <variant>
#include <vector>

#include "gateway/site_state.h"

namespace karvello::gateway {

// The registers one read may ask for at most.
inline constexpr std::uint16_t kMostRegistersRead = 125;

// The exception codes the server answers with.
enum class ScadaRefusal : std::uint8_t {
  kFunction = 0x01,       // not a read: the server writes nothing
  kAddress = 0x02,        // a register that is not there
  kValue = 0x03,          // a count of 0 or above 125, or a request of the wrong length
  kTargetFailed = 0x0B,   // a unit not read, or a reading that is not there to give
};

// A quantity's state in the quality block.
enum class ReadingState : std::uint16_t {
  kGood = 0,
  kOverRange = 1,  // resistance only
  kNone = 2,       // no reading yet
  kFailed = 3,     // the last reading failed; the value given is the last answered one
  kLineLost = 4,
};

// The quality block's first register, and the gateway's unit.
inline constexpr std::uint16_t kQualityBlock = 0x0100;
inline constexpr std::uint8_t kGatewayUnit = 0;

class ScadaRegisters {
 public:
  // The registers of `site` as they stand at `now`.
  ScadaRegisters(const SiteSnapshot& site, const QDateTime& now) : site_(site), now_(now) {}

  // `count` registers from `start` of `unit`, or why not.
  std::variant<std::vector<std::uint16_t>, ScadaRefusal> Read(std::uint8_t unit,
                                                              std::uint16_t start,
                                                              std::uint16_t count) const;
  // The reply PDU to the request PDU `pdu` (function code first) for `unit`: the registers, or
  // the exception.
  std::vector<std::uint8_t> Answer(std::uint8_t unit, std::span<const std::uint8_t> pdu) const;

  // A quantity's state at the time, as 0x0100 and 0x0105 give it.
  ReadingState StateOf(const QuantityState& quantity) const;

 private:
  std::variant<std::vector<std::uint16_t>, ScadaRefusal> ReadGateway(std::uint16_t start,
                                                                     std::uint16_t count) const;
  std::variant<std::vector<std::uint16_t>, ScadaRefusal> ReadDetector(
      int address, const DetectorState& detector, std::uint16_t start, std::uint16_t count) const;
  std::uint32_t AgeOf(const std::optional<QDateTime>& time) const;

  const SiteSnapshot& site_;
  QDateTime now_;
};

}  // namespace karvello::gateway
