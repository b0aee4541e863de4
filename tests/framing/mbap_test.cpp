// Modbus TCP framing: the request made of an RTU frame, the reply made RTU again, and frames
// taken out of a stream however TCP splits and joins them.

#include "framing/mbap.h"

#include <gtest/gtest.h>

#include <optional>
#include <tuple>
#include <utility>

#include "framing/crc16.h"
#include "support/hex_bytes.h"

namespace karvello {
namespace {

using testing::Hex;
using testing::HexText;

TEST(Mbap, ARequestLosesItsCrcAndGainsItsHeader) {
  // The RTU frame, the transaction id given, and the MBAP request.
  const std::tuple<const char*, std::uint16_t, const char*> cases[] = {
      {"05 03 00 0F 00 01 B5 8D", 1, "00 01 00 00 00 06 05 03 00 0F 00 01"},
      {"05 06 00 11 00 01 19 8B", 0x1234, "12 34 00 00 00 06 05 06 00 11 00 01"},
      {"FF 03 00 0D 00 02 00 00", 0xFFFF, "FF FF 00 00 00 06 FF 03 00 0D 00 02"},
  };
  for (const auto& [rtu, transaction, mbap] : cases) {
    EXPECT_EQ(HexText(MbapOfRtu(Hex(rtu), transaction)), mbap);
  }
}

TEST(Mbap, AReplyBecomesTheRtuFrameTheDetectorWouldHaveSent) {
  // The reply as it came over TCP, and as RTU.
  const std::pair<const char*, const char*> cases[] = {
      {"00 01 00 00 00 05 05 03 02 00 DC", "05 03 02 00 DC 48 1D"},
      {"00 02 00 00 00 03 05 83 02", "05 83 02 81 30"},
      {"00 03 00 00 00 07 05 03 04 01 59 00 01", "05 03 04 01 59 00 01 AF DC"},
  };
  for (const auto& [mbap, expected] : cases) {
    const auto rtu = RtuOfMbap(Hex(mbap));
    EXPECT_EQ(HexText(rtu), expected);
    EXPECT_TRUE(HasValidCrc(rtu));
  }
}

// How the bytes a stream gathered begin: the header's rule, read here for the line, the
// simulator's gateway and any server alike.
TEST(Mbap, AFrameIsFoundByItsHeaderAlone) {
  using Kind = MbapStart::Kind;
  const struct {
    const char* bytes;
    Kind kind;
    std::size_t size;
  } cases[] = {
      {"", Kind::kPartial, 0},
      {"00 01 00", Kind::kPartial, 0},
      {"00 01 00 07", Kind::kBad, 0},  // another protocol, known at its fourth byte
      {"00 01 00 00 00", Kind::kPartial, 0},
      {"00 01 00 00 00 01", Kind::kBad, 0},  // a length of 1: no function code
      {"00 01 00 00 00 02", Kind::kPartial, 0},
      {"00 01 00 00 00 02 05 03", Kind::kWhole, 8},  // the shortest: unit id and function code
      {"00 01 00 00 00 05 05 03 02 00 DC 00 02", Kind::kWhole, 11},  // the next one's head after
      {"00 01 00 00 00 FE", Kind::kPartial, 0},                      // 254: the longest
      {"00 01 00 00 00 FF", Kind::kBad, 0},
      {"00 01 00 00 01 00", Kind::kBad, 0},
  };
  for (const auto& c : cases) {
    const MbapStart start = FindMbapFrame(Hex(c.bytes));
    EXPECT_EQ(start.kind, c.kind) << c.bytes;
    EXPECT_EQ(start.size, c.size) << c.bytes;
  }
  EXPECT_EQ(HexText(MbapFrame(0xBEEF, 7, Hex("83 0B"))), "BE EF 00 00 00 03 07 83 0B");
  EXPECT_EQ(MbapTransaction(Hex("BE EF 00 00")), 0xBEEF);
}

// The exception code of a refusal as it crossed the wire, whichever framing carried it.
TEST(Mbap, ARefusalsCodeIsReadFromEitherFraming) {
  const std::pair<const char*, std::optional<std::uint8_t>> cases[] = {
      {"05 83 02 81 30", 0x02},              // RTU
      {"00 01 00 00 00 03 05 83 0B", 0x0B},  // MBAP: the gateway's own refusal
      {"05 83", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& [reply, code] : cases) EXPECT_EQ(RefusalCode(Hex(reply)), code) << reply;
}

TEST(MbapReader, TakesFramesHoweverTheStreamCutsThem) {
  const std::string two = "00 01 00 00 00 05 05 03 02 00 DC 00 02 00 00 00 03 05 83 02";
  const auto bytes = Hex(two);
  for (std::size_t cut = 0; cut <= bytes.size(); ++cut) {
    MbapReader reader;
    auto first = reader.Feed(std::span(bytes).first(cut));
    auto rest = reader.Feed(std::span(bytes).subspan(cut));
    first.frames.insert(first.frames.end(), rest.frames.begin(), rest.frames.end());
    ASSERT_EQ(first.frames.size(), 2U) << cut;
    EXPECT_EQ(first.frames[0].transaction, 1);
    EXPECT_EQ(HexText(first.frames[0].bytes), "00 01 00 00 00 05 05 03 02 00 DC");
    EXPECT_EQ(first.frames[1].transaction, 2);
    EXPECT_TRUE(first.broken.empty() && rest.broken.empty());
    EXPECT_FALSE(reader.HasWaiting());
  }
}

TEST(MbapReader, GivesUpOnAStreamItCannotFollow) {
  // Another protocol; a length of one: no function code; a length of 255 (the longest frame
  // allowed is 254 bytes after the length; one more cannot be Modbus).
  for (const char* bytes :
       {"00 01 00 01 00 05 05 03 02 00 DC", "00 01 00 00 00 01 05", "00 01 00 00 00 FF 05 03"}) {
    SCOPED_TRACE(bytes);
    MbapReader reader;
    const auto taken = reader.Feed(Hex(bytes));
    EXPECT_TRUE(taken.frames.empty());
    EXPECT_EQ(HexText(taken.broken), bytes);
    EXPECT_FALSE(reader.HasWaiting());
  }
  // A length of 254 is the longest whole frame.
  std::vector<std::uint8_t> longest = Hex("00 09 00 00 00 FE 05 03");
  longest.resize(6 + 254, 0);
  MbapReader reader;
  const auto taken = reader.Feed(longest);
  ASSERT_EQ(taken.frames.size(), 1U);
  EXPECT_EQ(taken.frames[0].bytes.size(), 260U);
}

}  // namespace
}  // namespace karvello
