#include "framing/frames.h"

#include "framing/crc16.h"
#include "framing/numeric.h"
#include "framing/registers.h"

namespace karvello {

RequestLayout LayoutOf(CommandCode code, std::uint8_t address) {
  using namespace reg;
  switch (code) {
    case CMD_SET_ADDRESS:
      return {kBroadcastAddress, kFnWriteSingleRegister, kBusAddress, address};
    case CMD_SET_ADDRESS_CONFIRM:
      return {address, kFnWriteSingleRegister, kBusAddress, address};
    case CMD_QUERY_ADDRESS:
      return {kBroadcastAddress, kFnReadHoldingRegisters, kBusAddress, 1};
    case CMD_QUERY_RESISTANCE:
      return {address, kFnWriteSingleRegister, kStartMeasurement, kStartMeasurementValue};
    case CMD_READ_RESISTANCE:
      return {address, kFnReadHoldingRegisters, kResistance, kResistanceRegisterCount};
    case CMD_QUERY_VOLTAGE:
      return {address, kFnReadHoldingRegisters, kVoltage, 1};
    default:
      return {0, 0, 0, 0};
  }
}

RequestFrame FrameOf(const RequestLayout& layout, std::uint8_t crcLo, std::uint8_t crcHi) {
  return {layout.slave,
          layout.function,
          static_cast<std::uint8_t>(layout.registerNumber >> 8),
          static_cast<std::uint8_t>(layout.registerNumber & 0xFFU),
          static_cast<std::uint8_t>(layout.value >> 8),
          static_cast<std::uint8_t>(layout.value & 0xFFU),
          crcLo,
          crcHi};
}

RequestFrame BuildRequestFrame(CommandCode code, std::string_view addressText, std::uint8_t& crcLo,
                               std::uint8_t& crcHi) {
  if (code == CMD_QUERY_ADDRESS) return kQueryAddressFrame;
  // Every build starts afresh from the text: nothing of an earlier frame is reused.
  const std::uint8_t address = AddressByte(NumericValue(addressText));
  RequestFrame frame = FrameOf(LayoutOf(code, address), 0, 0);
  CalcCrc16(frame, 5, crcLo, crcHi);
  frame[6] = crcLo;
  frame[7] = crcHi;
  return frame;
}

}  // namespace karvello
