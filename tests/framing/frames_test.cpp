// Request frames built from their layout, and the shapes of the replies they await.
#include "framing/frames.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "framing/crc16.h"
#include "framing/replies.h"
#include "support/hex_bytes.h"

namespace karvello {
namespace {

using testing::Bytes;
using testing::Frame;
using testing::Hex;
using Match = ReplyShape::Match;

TEST(BuildRequestFrame, LaysOutTheMessageHighBytesFirstAndAppendsItsCrc) {
  const struct {
    RequestLayout layout;
    const char* frame;
  } cases[] = {
      // The requests of the four operations, for addresses 1, 5 and 200.
      {{0x00, 6, 0x0012, 1}, "00 06 00 12 00 01 E9 DE"},
      {{0x01, 6, 0x0012, 1}, "01 06 00 12 00 01 E8 0F"},
      {{0x00, 3, 0x0012, 1}, "00 03 00 12 00 01 25 DE"},
      {{0x01, 6, 0x0011, 1}, "01 06 00 11 00 01 18 0F"},
      {{0x01, 3, 0x000D, 2}, "01 03 00 0D 00 02 55 C8"},
      {{0x01, 3, 0x000F, 1}, "01 03 00 0F 00 01 B4 09"},
      {{0x00, 6, 0x0012, 5}, "00 06 00 12 00 05 E8 1D"},
      {{0x05, 6, 0x0012, 5}, "05 06 00 12 00 05 E8 48"},
      {{0x05, 6, 0x0011, 1}, "05 06 00 11 00 01 19 8B"},
      {{0x05, 3, 0x000D, 2}, "05 03 00 0D 00 02 54 4C"},
      {{0x05, 3, 0x000F, 1}, "05 03 00 0F 00 01 B5 8D"},
      {{0x00, 6, 0x0012, 200}, "00 06 00 12 00 C8 29 88"},
      {{0xC8, 6, 0x0012, 200}, "C8 06 00 12 00 C8 39 C0"},
      {{0xFF, 6, 0x0012, 255}, "FF 06 00 12 00 FF 7C 51"},
      // Both bytes of the register and of the value, high byte first.
      {{0x12, 6, 0x3456, 0xABCD}, "12 06 34 56 AB CD DB EC"},
  };
  for (const auto& c : cases) {
    const RequestFrame frame = BuildRequestFrame(c.layout);
    EXPECT_EQ(Bytes(frame), Hex(c.frame)) << c.frame;
    EXPECT_TRUE(HasValidCrc(frame)) << c.frame;
  }
}

TEST(ReplyShape, ForARequestIsTheReplyItAwaits) {
  const struct {
    const char* request;
    ReplyShape reply;
    std::size_t length;
    std::optional<std::uint8_t> slave;
    std::uint8_t function;
  } cases[] = {
      // The set-address confirmation and the start of a measurement: the slave echoes the write.
      {"05 06 00 12 00 05 E8 48", ReplyShape::WriteEcho(5, 0x0012), 8, 5, 6},
      {"C8 06 00 11 00 01 09 96", ReplyShape::WriteEcho(0xC8, 0x0011), 8, 0xC8, 6},
      // The broadcast read of the address: any detector answers, with one register.
      {"00 03 00 12 00 01 25 DE", ReplyShape::ReadReply(std::nullopt, 1), 7, std::nullopt, 3},
      // The resistance read: two registers; the voltage read: one.
      {"05 03 00 0D 00 02 54 4C", ReplyShape::ReadReply(5, 2), 9, 5, 3},
      {"FF 03 00 0F 00 01 A1 D7", ReplyShape::ReadReply(0xFF, 1), 7, 0xFF, 3},
      // A read sent to slave 0 is answered by slave 0, not by any slave.
      {"00 03 00 0F 00 01 B5 D8", ReplyShape::ReadReply(0, 1), 7, 0, 3},
  };
  for (const auto& c : cases) {
    const ReplyShape shape = ReplyShape::For(Frame(c.request), !c.slave);
    EXPECT_EQ(shape, c.reply) << c.request;
    EXPECT_EQ(shape.Length(), c.length) << c.request;
    EXPECT_EQ(shape.Slave(), c.slave) << c.request;
    EXPECT_EQ(shape.Function(), c.function) << c.request;
  }
}

struct MatchCase {
  const char* name;
  ReplyShape shape;
  const char* bytes;
  std::size_t offset;
  Match expected;
};

class MatchAtCases : public ::testing::TestWithParam<MatchCase> {};

TEST_P(MatchAtCases, TellsNoPartialOrWhole) {
  const MatchCase& c = GetParam();
  EXPECT_EQ(c.shape.MatchAt(Hex(c.bytes), c.offset), c.expected)
      << c.name << ": '" << c.bytes << "' from " << c.offset;
}

const ReplyShape kEcho5 = ReplyShape::WriteEcho(5, 0x0012);
const ReplyShape kVoltage5 = ReplyShape::ReadReply(5, 1);
const ReplyShape kResistance5 = ReplyShape::ReadReply(5, 2);
const ReplyShape kAnyAddress = ReplyShape::ReadReply(std::nullopt, 1);
const ReplyShape kRefusal5 = ReplyShape::RefusalOf(5, 3);
const ReplyShape kAnyRefusal = ReplyShape::RefusalOf(std::nullopt, 3);

const MatchCase kMatchCases[] = {
    // Nothing there.
    {"empty", kVoltage5, "", 0, Match::kNo},
    {"offset at the end", kVoltage5, "05 03", 2, Match::kNo},
    {"offset beyond the end", kVoltage5, "05 03", 7, Match::kNo},
    // The slave byte.
    {"slave asked", kVoltage5, "05", 0, Match::kPartial},
    {"another slave", kVoltage5, "06", 0, Match::kNo},
    {"any slave", kAnyAddress, "A7", 0, Match::kPartial},
    // The function code.
    {"function 3", kVoltage5, "05 03", 0, Match::kPartial},
    {"function 6 where 3 is awaited", kVoltage5, "05 06", 0, Match::kNo},
    {"refusal where the reply is awaited", kVoltage5, "05 83", 0, Match::kNo},
    {"any slave, wrong function", kAnyAddress, "05 04 02", 0, Match::kNo},
    // The byte count of a read.
    {"two bytes of data", kVoltage5, "05 03 02", 0, Match::kPartial},
    {"four bytes where two are awaited", kVoltage5, "05 03 04", 0, Match::kNo},
    {"two bytes where four are awaited", kResistance5, "05 03 02", 0, Match::kNo},
    {"four bytes of data", kResistance5, "05 03 04 01", 0, Match::kPartial},
    // The register of a write's echo; its value is not part of the shape.
    {"echo of the address register", kEcho5, "05 06 00 12 FF", 0, Match::kPartial},
    {"register high byte", kEcho5, "05 06 01", 0, Match::kNo},
    {"register low byte", kEcho5, "05 06 00 11", 0, Match::kNo},
    // Refusals: any exception code.
    {"refusal head", kRefusal5, "05 83", 0, Match::kPartial},
    {"refusal of another function", kRefusal5, "05 86", 0, Match::kNo},
    {"refusal from another slave", kRefusal5, "06 83", 0, Match::kNo},
    {"refusal from any slave", kAnyRefusal, "09 83 0B", 0, Match::kPartial},
    // Lengths.
    {"voltage one short", kVoltage5, "05 03 02 00 DC 48", 0, Match::kPartial},
    {"voltage whole", kVoltage5, "05 03 02 00 DC 48 1D", 0, Match::kWhole},
    // The CRC is checked by whoever takes the reply, not by its shape.
    {"voltage, wrong CRC", kVoltage5, "05 03 02 00 DC 00 00", 0, Match::kWhole},
    {"voltage and more", kVoltage5, "05 03 02 00 DC 48 1D 01 03", 0, Match::kWhole},
    {"resistance one short", kResistance5, "05 03 04 01 59 00 01 AF", 0, Match::kPartial},
    {"resistance whole", kResistance5, "05 03 04 01 59 00 01 AF DC", 0, Match::kWhole},
    {"echo one short", kEcho5, "05 06 00 12 00 05 E8", 0, Match::kPartial},
    {"echo whole", kEcho5, "05 06 00 12 00 05 E8 48", 0, Match::kWhole},
    {"refusal one short", kRefusal5, "05 83 02 81", 0, Match::kPartial},
    {"refusal whole", kRefusal5, "05 83 02 81 30", 0, Match::kWhole},
    // From an offset: the bytes in front do not count.
    {"behind a stray byte", kVoltage5, "00 05 03 02 00 DC 48 1D", 1, Match::kWhole},
    {"stray byte at the offset", kVoltage5, "05 03 02 00 DC 48 1D", 1, Match::kNo},
    {"head at the end", kVoltage5, "AA AA 05 03", 2, Match::kPartial},
    {"any slave behind strays", kAnyAddress, "00 FF 07 03 02 00 07 71 86", 2, Match::kWhole},
};

INSTANTIATE_TEST_SUITE_P(Heads, MatchAtCases, ::testing::ValuesIn(kMatchCases),
                         [](const auto& info) { return "case" + std::to_string(info.index); });

}  // namespace
}  // namespace karvello
