#include "serial/reply_check.h"

#include "framing/crc16.h"
#include "framing/registers.h"
#include "framing/reply_frame.h"

namespace karvello {
namespace {

struct Check {
  std::size_t headerBytes;  // bytes the header check reads
  std::size_t replyLength;  // bytes of the whole reply
};

constexpr std::size_t kExceptionReplyLength = 5;

bool Is(std::uint8_t byte, double number) {
  return static_cast<double>(byte) == number;
}

}  // namespace

std::size_t ReplyLengthOf(CommandCode pending) {
  switch (pending) {
    case CMD_SET_ADDRESS_CONFIRM:
      return 8;
    case CMD_QUERY_ADDRESS:
    case CMD_QUERY_VOLTAGE:
      return 7;
    case CMD_READ_RESISTANCE:
      return 9;
    default:
      return 0;
  }
}

ReplyVerdict JudgeReply(CommandCode pending, std::span<const std::uint8_t> rx, double address) {
  Check check{};
  switch (pending) {
    case CMD_SET_ADDRESS_CONFIRM:
      check = {6, ReplyLengthOf(pending)};
      break;
    case CMD_QUERY_ADDRESS:
      check = {5, ReplyLengthOf(pending)};
      break;
    case CMD_READ_RESISTANCE:
    case CMD_QUERY_VOLTAGE:
      check = {3, ReplyLengthOf(pending)};
      break;
    default:
      return ReplyVerdict::kDiscard;
  }
  // The detector refused the request: a whole exception reply is an answer, and a failure.
  if (rx.size() >= kExceptionReplyLength && IsExceptionReply(rx)) return ReplyVerdict::kBad;
  if (rx.size() < check.headerBytes) return ReplyVerdict::kNoise;

  bool headerOk = false;
  switch (pending) {
    case CMD_SET_ADDRESS_CONFIRM:
      headerOk = Is(rx[0], address) && rx[1] == reg::kFnWriteSingleRegister &&
                 rx[3] == (reg::kBusAddress & 0xFF) && Is(rx[5], address);
      break;
    case CMD_QUERY_ADDRESS:
      headerOk = rx[1] == reg::kFnReadHoldingRegisters && rx[2] == 2 && rx[0] == rx[4];
      break;
    case CMD_READ_RESISTANCE:
      headerOk = Is(rx[0], address) && rx[1] == reg::kFnReadHoldingRegisters && rx[2] == 4;
      break;
    case CMD_QUERY_VOLTAGE:
      headerOk = Is(rx[0], address) && rx[1] == reg::kFnReadHoldingRegisters && rx[2] == 2;
      break;
    default:
      break;
  }
  if (!headerOk) return ReplyVerdict::kBad;
  if (rx.size() < check.replyLength) return ReplyVerdict::kBad;  // truncated
  if (!HasValidCrc(rx.first(check.replyLength))) return ReplyVerdict::kBad;
  return ReplyVerdict::kGood;
}

}  // namespace karvello
