#pragma once
// What the tool relies on in the detector: a Modbus RTU slave whose holding registers are
// 16 bits, sent high byte first.

#include <cstdint>

namespace karvello::reg {

inline constexpr std::uint8_t kBroadcastAddress = 0;

inline constexpr std::uint8_t kFnReadHoldingRegisters = 3;
inline constexpr std::uint8_t kFnWriteSingleRegister = 6;
// A slave answers a request it refuses with the function code's high bit set.
inline constexpr std::uint8_t kExceptionFlag = 0x80;
// The exceptions a gateway answers with for the device behind it: no path to it, or no answer
// from it. Neither comes from a detector: both mean that no detector answered.
inline constexpr std::uint8_t kExceptionPathUnavailable = 0x0A;
inline constexpr std::uint8_t kExceptionTargetFailedToRespond = 0x0B;

// Writing 1 starts a resistance measurement; the result is readable 19 s later.
inline constexpr std::uint16_t kStartMeasurement = 0x0011;
inline constexpr std::uint16_t kStartMeasurementValue = 1;
// The detector's bus address (1 to 255) in the low byte. The detector takes a broadcast write
// of it silently and answers a broadcast read of it with its own address.
inline constexpr std::uint16_t kBusAddress = 0x0012;
// The resistance reading (unsigned), followed by 0x000E whose low byte is the number of
// decimal places of the reading (0, 1 or 2; anything else means over range).
inline constexpr std::uint16_t kResistance = 0x000D;
inline constexpr std::uint16_t kDecimalCount = 0x000E;
inline constexpr std::uint16_t kResistanceRegisterCount = 2;
// The voltage in whole volts (unsigned).
inline constexpr std::uint16_t kVoltage = 0x000F;

}  // namespace karvello::reg
