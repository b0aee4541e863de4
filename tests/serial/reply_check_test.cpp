// The verdict on a received frame, by the request in flight.
#include "serial/reply_check.h"

#include <gtest/gtest.h>

#include <string>

#include "support/hex_bytes.h"

namespace karvello {
namespace {

using testing::Hex;
using V = ReplyVerdict;

struct JudgeCase {
  const char* name;
  CommandCode pending;
  const char* bytes;
  double address;  // what the address box begins with
  ReplyVerdict expected;
};

std::string VerdictName(ReplyVerdict v) {
  switch (v) {
    case V::kDiscard:
      return "discard";
    case V::kNoise:
      return "noise";
    case V::kGood:
      return "good";
    case V::kBad:
      return "bad";
  }
  return "?";
}

const JudgeCase kCases[] = {
    // Query address: the reply agrees with itself; the address box plays no part.
    {"address good", 2, "05 03 02 00 05 89 87", 5, V::kGood},
    {"address good, box unset", 2, "05 03 02 00 05 89 87", 0, V::kGood},
    {"address 255", 2, "FF 03 02 00 FF D1 D0", 7, V::kGood},
    {"address 0", 2, "00 03 02 00 00 85 84", 0, V::kGood},
    {"address bytes 0 and 4 differ", 2, "05 03 02 00 06 C9 86", 5, V::kBad},
    {"address wrong function", 2, "05 04 02 00 05 88 F3", 5, V::kBad},
    {"address wrong byte count", 2, "05 03 04 00 05 69 86", 5, V::kBad},
    {"address wrong crc", 2, "05 03 02 00 05 00 00", 5, V::kBad},
    {"address crc swapped", 2, "05 03 02 00 05 87 89", 5, V::kBad},
    {"address truncated to 5", 2, "05 03 02 00 05", 5, V::kBad},
    {"address truncated to 6", 2, "05 03 02 00 05 89", 5, V::kBad},
    {"address 4 bytes: noise", 2, "05 03 02 00", 5, V::kNoise},
    {"address 4 bytes, wrong function: noise", 2, "05 04 02 00", 5, V::kNoise},
    {"address exception", 2, "05 83 02 81 30", 5, V::kBad},
    {"address extra bytes", 2, "05 03 02 00 05 89 87 AA BB", 5, V::kGood},
    // Set-address confirmation: bytes 0 and 5 against the box, function 6, register 0x12.
    {"confirm good", 11, "05 06 00 12 00 05 E8 48", 5, V::kGood},
    {"confirm wrong crc", 11, "05 06 00 12 00 05 00 00", 5, V::kBad},
    {"confirm box 5.4", 11, "05 06 00 12 00 05 E8 48", 5.4, V::kBad},
    {"confirm byte 5 differs", 11, "05 06 00 12 00 06 A8 49", 5, V::kBad},
    {"confirm wrong register", 11, "05 06 00 11 00 05 18 48", 5, V::kBad},
    {"confirm other slave", 11, "05 06 00 12 00 05 E8 48", 6, V::kBad},
    {"confirm truncated to 6", 11, "05 06 00 12 00 05", 5, V::kBad},
    {"confirm 5 bytes: noise", 11, "05 06 00 12 00", 5, V::kNoise},
    {"confirm exception", 11, "05 86 02 82 60", 5, V::kBad},
    // Resistance read.
    {"resistance good", 33, "05 03 04 01 59 00 01 AF DC", 5, V::kGood},
    {"resistance byte count 2", 33, "05 03 02 01 59 88 2E", 5, V::kBad},
    {"resistance other slave", 33, "05 03 04 01 59 00 01 AF DC", 1, V::kBad},
    {"resistance wrong crc", 33, "05 03 04 01 59 00 01 AF DD", 5, V::kBad},
    {"resistance truncated", 33, "05 03 04 01 59 00 01", 5, V::kBad},
    {"resistance 2 bytes: noise", 33, "05 03", 5, V::kNoise},
    {"resistance exception", 33, "05 83 02 81 30", 5, V::kBad},
    // Voltage.
    {"voltage good", 4, "01 03 02 00 DC B9 DD", 1, V::kGood},
    {"voltage from slave 6, box 5", 4, "06 03 02 00 DC 0C 1D", 5, V::kBad},
    {"voltage box 1.5", 4, "01 03 02 00 DC B9 DD", 1.5, V::kBad},
    {"voltage wrong function", 4, "01 04 02 00 DC 48 1D", 1, V::kBad},
    {"voltage truncated to 3", 4, "01 03 02", 1, V::kBad},
    {"voltage truncated to 4", 4, "01 03 02 00", 1, V::kBad},
    {"voltage 1 byte: noise", 4, "01", 1, V::kNoise},
    {"voltage empty: noise", 4, "", 1, V::kNoise},
    {"voltage exception", 4, "01 83 02 C0 F1", 1, V::kBad},
    // No reply awaited: discarded whatever it is.
    {"before any command", 0, "01 03 02 00 DC B9 DD", 1, V::kDiscard},
    {"during the broadcast", 1, "00 06 00 12 00 05 E8 1D", 5, V::kDiscard},
    {"measurement start echo", 3, "05 06 00 11 00 01 19 8B", 5, V::kDiscard},
    {"measurement start, noise", 3, "05", 5, V::kDiscard},
    {"measurement start, exception", 3, "05 86 02 82 60", 5, V::kDiscard},
};

TEST(JudgeReply, Table) {
  for (const auto& c : kCases) {
    EXPECT_EQ(VerdictName(JudgeReply(c.pending, Hex(c.bytes), c.address)), VerdictName(c.expected))
        << c.name;
  }
}

TEST(ReplyLengthOf, LengthShownByEachOperation) {
  EXPECT_EQ(ReplyLengthOf(CMD_SET_ADDRESS_CONFIRM), 8U);
  EXPECT_EQ(ReplyLengthOf(CMD_QUERY_ADDRESS), 7U);
  EXPECT_EQ(ReplyLengthOf(CMD_READ_RESISTANCE), 9U);
  EXPECT_EQ(ReplyLengthOf(CMD_QUERY_VOLTAGE), 7U);
  for (CommandCode none : {CMD_NONE, CMD_SET_ADDRESS, CMD_QUERY_RESISTANCE}) {
    EXPECT_EQ(ReplyLengthOf(none), 0U) << none;
  }
}

}  // namespace
}  // namespace karvello
