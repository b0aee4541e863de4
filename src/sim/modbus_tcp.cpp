#include "sim/modbus_tcp.h"

#include "framing/crc16.h"
#include "framing/registers.h"
#include "sim/detector_model.h"

namespace karvello::sim {

namespace {

constexpr std::size_t kRtuCrcSize = 2;

bool IsContentKind(Fault::Kind kind) {
  return kind == Fault::Kind::kException || kind == Fault::Kind::kWrongAddress ||
         kind == Fault::Kind::kBadCrc || kind == Fault::Kind::kFlipBits;
}

}  // namespace

std::vector<Piece> GatewayAnswer(std::span<const std::uint8_t> adu, std::vector<Reply> replies,
                                 bool gatewayExceptions, bool pacing) {
  const std::uint8_t function = adu[kMbapUnitAt + 1];
  std::uint8_t unit = adu[kMbapUnitAt];
  // A silent detector puts nothing on the line; two that answer garble each other.
  std::erase_if(replies, [](const Reply& r) { return r.fault.kind == Fault::Kind::kNoReply; });
  Fault fault;
  std::vector<std::uint8_t> frame;
  if (replies.size() == 1) {
    fault = replies.front().fault;
    frame = std::move(replies.front().bytes);
    // The faults that make the reply what it is spoil the RTU frame itself ...
    if (IsContentKind(fault.kind)) {
      Fault content = fault;
      content.before.clear();
      frame = Spoil(content, std::move(frame), function).front().bytes;
      if (fault.kind == Fault::Kind::kWrongAddress) unit = fault.code;
      // ... the rest how its ADU goes out.
      fault.kind = fault.before.empty() ? Fault::Kind::kNone : Fault::Kind::kStray;
    }
  }
  const std::size_t rtuReplySize = frame.size();
  std::vector<std::uint8_t> pdu;
  if (HasValidCrc(frame) && frame.size() > kRtuCrcSize + 1) {
    pdu.assign(frame.begin() + 1, frame.end() - kRtuCrcSize);
  } else if (gatewayExceptions && unit != reg::kBroadcastAddress) {
    pdu = {static_cast<std::uint8_t>(function | reg::kExceptionFlag), kGatewayTargetFailed};
    fault = {};
  } else {
    return {};
  }
  std::vector<std::uint8_t> answer = MbapFrame(MbapTransaction(adu), unit, pdu);
  std::vector<Piece> pieces = Spoil(fault, std::move(answer), function);
  if (pacing && !pieces.empty()) {
    const std::size_t onTheLine = adu.size() - kMbapUnitAt + kRtuCrcSize + rtuReplySize;
    pieces.front().pauseBefore += static_cast<long>(onTheLine) * kByteTime;
  }
  return pieces;
}

}  // namespace karvello::sim
