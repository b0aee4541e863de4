// How each kind of line packs the tool's RTU requests and unpacks what comes back, and the line
// handing up each reply with the bytes as they crossed the wire.

#include "serial/packing.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "framing/frame_text.h"
#include "serial/serial_line.h"
#include "support/hex_bytes.h"

namespace karvello {
namespace {

using testing::Hex;
using Bytes = std::vector<std::uint8_t>;

const RequestFrame kVoltage5{0x05, 0x03, 0x00, 0x0F, 0x00, 0x01, 0xB5, 0x8D};

LineAddress At(const char* text) {
  return *ParseLineAddress(text);
}

// The packing of each kind of address: what goes on the wire for the voltage request, twice,
// whether broadcasts pass.
TEST(Packing, EachKindOfLinePacksItsRequests) {
  const struct {
    const char* address;
    const char* first;
    const char* second;
    bool broadcasts;
  } cases[] = {
      {"COM3", "05 03 00 0F 00 01 B5 8D", "05 03 00 0F 00 01 B5 8D", true},
      {"/dev/ttyUSB0", "05 03 00 0F 00 01 B5 8D", "05 03 00 0F 00 01 B5 8D", true},
      {"rtu+tcp://10.0.0.7:4001", "05 03 00 0F 00 01 B5 8D", "05 03 00 0F 00 01 B5 8D", true},
      {"tcp://10.0.0.7", "00 01 00 00 00 06 05 03 00 0F 00 01",
       "00 02 00 00 00 06 05 03 00 0F 00 01", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.address);
    const auto packing = PackingFor(At(c.address));
    EXPECT_EQ(HexText(packing->Pack(kVoltage5)), c.first);
    EXPECT_EQ(HexText(packing->Pack(kVoltage5)), c.second);
    EXPECT_EQ(packing->CarriesBroadcasts(), c.broadcasts);
    EXPECT_EQ(CarriesBroadcasts(At(c.address)), c.broadcasts);
  }
}

// What comes back over Modbus TCP after the second request (transaction 2): each whole frame of
// that transaction made RTU with the frame beside it, earlier ones dropped, what cannot be
// followed given as it came.
TEST(Packing, ModbusTcpUnpacksTheRepliesOfItsTransaction) {
  const char* const kVoltsFrame = "00 02 00 00 00 05 05 03 02 00 DC";
  const struct {
    const char* name;
    std::vector<const char*> reads;
    const char* rtu;   // the piece made RTU
    const char* wire;  // the frame beside it ("" for the same)
    std::size_t droppedEarlier;
  } cases[] = {
      {"whole", {"00 02 00 00 00 05 05 03 02 00 DC"}, "05 03 02 00 DC 48 1D", kVoltsFrame, 0},
      {"split", {"00 02 00 00", "00 05 05 03 02 00 DC"}, "05 03 02 00 DC 48 1D", kVoltsFrame, 0},
      {"an earlier transaction's first",
       {"00 01 00 00 00 05 05 03 02 00 01 00 02 00 00 00 05 05 03 02 00 DC"},
       "05 03 02 00 DC 48 1D",
       kVoltsFrame,
       1},
      {"not Modbus", {"FF FF 00 07 00 02 AA BB"}, "FF FF 00 07 00 02 AA BB", "", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    MbapPacking packing;
    packing.Pack(kVoltage5);
    packing.Pack(kVoltage5);
    std::vector<Packing::Piece> pieces;
    for (const char* read : c.reads) {
      for (auto& piece : packing.Unpack(Hex(read))) pieces.push_back(std::move(piece));
    }
    ASSERT_EQ(pieces.size(), 1U);
    EXPECT_EQ(HexText(pieces[0].bytes), c.rtu);
    EXPECT_EQ(HexText(pieces[0].wire), c.wire);
    EXPECT_TRUE(pieces[0].whole);
    EXPECT_EQ(packing.DroppedEarlier(), c.droppedEarlier);
  }
  // An RTU stream is taken as it comes, to be judged once the line falls silent.
  RtuPacking rtu;
  const auto pieces = rtu.Unpack(Hex("05 03 02"));
  ASSERT_EQ(pieces.size(), 1U);
  EXPECT_EQ(HexText(pieces[0].bytes), "05 03 02");
  EXPECT_TRUE(pieces[0].wire.empty());
  EXPECT_FALSE(pieces[0].whole);
}

// A line over a Modbus TCP gateway in memory: the reply search judges RTU, the line hands the
// MBAP frame up beside it; a half frame left by a request before is not joined to the next.
class GatewayLine : public SerialLine {
 public:
  GatewayLine() { UsePacking(PackingFor(At("tcp://10.0.0.7"))); }
  bool Open(const LineAddress&) override { return true; }
  void Close() override {}
  bool IsOpen() const override { return true; }
  std::string Name() const override { return "tcp://10.0.0.7"; }
  using SerialLine::Arrive;
  std::vector<Bytes> written;

 protected:
  bool Write(std::span<const std::uint8_t> bytes) override {
    written.emplace_back(bytes.begin(), bytes.end());
    return true;
  }
  void DropReceived() override {}
};

TEST(Packing, TheLineHandsUpTheBytesAsTheyCrossedTheWire) {
  GatewayLine line;
  std::vector<Received> received;
  line.SetOnReceived([&](const Received& r) { received.push_back(r); });
  ASSERT_TRUE(line.Send(kVoltage5, ReplyShape::For(kVoltage5)));
  EXPECT_EQ(HexText(line.SentOnWire()), "00 01 00 00 00 06 05 03 00 0F 00 01");
  ASSERT_EQ(line.written.size(), 1U);
  EXPECT_EQ(line.written[0], line.SentOnWire());
  line.Arrive(Hex("00 01 00 00 00 05 05 03"));  // half a reply, then a new request
  ASSERT_TRUE(line.Send(kVoltage5, ReplyShape::For(kVoltage5)));
  line.Arrive(Hex("00 02 00 00 00 05 05 03 02 00 DC"));
  ASSERT_EQ(received.size(), 1U);
  EXPECT_EQ(received[0].kind, Received::Kind::kReply);
  EXPECT_EQ(HexText(received[0].bytes), "05 03 02 00 DC 48 1D");
  EXPECT_EQ(HexText(received[0].OnWire()), "00 02 00 00 00 05 05 03 02 00 DC");
  // A reply that does not fit is judged at once, not after a gap.
  ASSERT_TRUE(line.Send(kVoltage5, ReplyShape::For(kVoltage5)));
  line.Arrive(Hex("00 03 00 00 00 04 05 03 01 00"));
  ASSERT_EQ(received.size(), 2U);
  EXPECT_EQ(received[1].kind, Received::Kind::kStray);
  EXPECT_EQ(HexText(received[1].OnWire()), "00 03 00 00 00 04 05 03 01 00");
}

}  // namespace
}  // namespace karvello
