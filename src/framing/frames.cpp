#include "framing/frames.h"

#include "framing/crc16.h"

namespace karvello {

RequestFrame BuildRequestFrame(const RequestLayout& layout) {
  RequestFrame frame = {layout.slave,
                        layout.function,
                        static_cast<std::uint8_t>(layout.registerNumber >> 8),
                        static_cast<std::uint8_t>(layout.registerNumber & 0xFFU),
                        static_cast<std::uint8_t>(layout.value >> 8),
                        static_cast<std::uint8_t>(layout.value & 0xFFU),
                        0,
                        0};
  CalcCrc16(frame, 5, frame[6], frame[7]);
  return frame;
}

}  // namespace karvello
