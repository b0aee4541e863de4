// Whole frames out of bytes that arrive in pieces.
#include "serial/frame_assembler.h"

#include <gtest/gtest.h>

#include <span>
#include <string>
#include <vector>

#include "support/hex_bytes.h"

namespace karvello {
namespace {

using testing::Hex;
using Bytes = std::vector<std::uint8_t>;

// Cuts `bytes` into pieces: bit i of `cuts` set means a cut after byte i.
std::vector<Bytes> Pieces(const Bytes& bytes, unsigned cuts) {
  std::vector<Bytes> pieces(1);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    pieces.back().push_back(bytes[i]);
    if (i + 1 < bytes.size() && (cuts >> i & 1U)) pieces.emplace_back();
  }
  return pieces;
}

TEST(FrameAssembler, EverySplitGivesOneFrameWhenTheLastByteIsIn) {
  for (const char* reply : {"01 03 02 00 DC B9 DD", "05 06 00 12 00 05 E8 48",
                            "01 03 04 01 59 00 01 EA 1C", "05 83 02 81 30"}) {
    const Bytes whole = Hex(reply);
    for (unsigned cuts = 0; cuts < (1U << (whole.size() - 1)); ++cuts) {
      FrameAssembler assembler;
      const auto pieces = Pieces(whole, cuts);
      for (std::size_t p = 0; p < pieces.size(); ++p) {
        EXPECT_EQ(assembler.Feed(pieces[p]), 0U);
        const auto frame = assembler.TakeFrame();
        if (p + 1 < pieces.size()) {
          ASSERT_FALSE(frame) << reply << " cuts " << cuts << " piece " << p;
          EXPECT_TRUE(assembler.HasPartial());
        } else {
          ASSERT_TRUE(frame) << reply << " cuts " << cuts;
          EXPECT_EQ(*frame, whole);
        }
      }
      EXPECT_FALSE(assembler.TakeFrame());
      EXPECT_FALSE(assembler.HasPartial());
    }
  }
}

TEST(FrameAssembler, BytesAfterAFrameBeginTheNext) {
  FrameAssembler assembler;
  assembler.Feed(Hex("05 03 02 00 05 89 87 AA"));
  EXPECT_EQ(assembler.TakeFrame(), Hex("05 03 02 00 05 89 87"));
  EXPECT_FALSE(assembler.TakeFrame());
  EXPECT_EQ(assembler.Pending(), 1U);
  EXPECT_EQ(assembler.TakeRest(), Hex("AA"));
  EXPECT_FALSE(assembler.HasPartial());
  EXPECT_EQ(assembler.TakeRest(), Bytes{});

  // Two frames in one piece, then a third cut across the second piece.
  assembler.Feed(Hex("05 03 02 00 05 89 87 01 03 02 00 DC B9 DD 05 06 00"));
  EXPECT_EQ(assembler.TakeFrame(), Hex("05 03 02 00 05 89 87"));
  EXPECT_EQ(assembler.TakeFrame(), Hex("01 03 02 00 DC B9 DD"));
  EXPECT_FALSE(assembler.TakeFrame());
  assembler.Feed(Hex("12 00 05 E8 48"));
  EXPECT_EQ(assembler.TakeFrame(), Hex("05 06 00 12 00 05 E8 48"));
}

TEST(FrameAssembler, ExceptionReplyIsFiveBytes) {
  FrameAssembler assembler;
  assembler.Feed(Hex("05 86 02 82"));
  EXPECT_FALSE(assembler.TakeFrame());
  assembler.Feed(Hex("60 05"));
  EXPECT_EQ(assembler.TakeFrame(), Hex("05 86 02 82 60"));
  EXPECT_EQ(assembler.TakeRest(), Hex("05"));
}

TEST(FrameAssembler, UnknownFunctionWaitsForSilence) {
  FrameAssembler assembler;
  assembler.Feed(Hex("05 04 02 00 05 88 F3"));
  EXPECT_FALSE(assembler.TakeFrame());
  EXPECT_EQ(assembler.TakeRest(), Hex("05 04 02 00 05 88 F3"));
  EXPECT_FALSE(assembler.HasPartial());
}

// Noise before a reply (an RS-485 driver turning round, a glitch on the line) must not cost the
// reply: the bytes in front of a frame whose CRC is right are dropped.
TEST(FrameAssembler, StrayBytesBeforeAReplyAreSkipped) {
  struct Case {
    const char* stray;
    const char* reply;
    bool inAnyPieces = true;  // false: only when the reply is in by the time the front is whole
  };
  const Case cases[] = {
      {"00", "01 03 02 00 DC B9 DD"},
      {"FF", "01 03 02 00 DC B9 DD"},
      {"00 00 FF", "01 03 04 01 59 00 01 EA 1C"},
      {"05", "05 06 00 12 00 05 E8 48"},
      // The slave address 3 read as a function code makes the stray front look like a read
      // reply of its own: its CRC is wrong, the reply behind it is right.
      {"AA", "03 03 02 00 03 81 85"},
      // A reply cut short, then the detector's whole reply. Had the front been whole before the
      // reply was in, it would have gone alone, as the failed frame it is.
      {"01 03 02 00", "01 03 02 00 DC B9 DD", false},
      {"05 04 02 00 05 88 F3", "05 03 02 00 05 89 87"},
  };
  for (const auto& c : cases) {
    Bytes bytes = Hex(c.stray);
    const Bytes reply = Hex(c.reply);
    bytes.insert(bytes.end(), reply.begin(), reply.end());
    for (std::size_t cut = c.inAnyPieces ? 1 : bytes.size(); cut <= bytes.size(); ++cut) {
      SCOPED_TRACE(std::string(c.stray) + " | " + c.reply + " cut " + std::to_string(cut));
      FrameAssembler assembler;
      assembler.Feed(std::span(bytes).first(cut));
      auto frame = assembler.TakeFrame();
      if (!frame) {
        assembler.Feed(std::span(bytes).subspan(cut));
        frame = assembler.TakeFrame();
      }
      // A front that is whole on its own may go first; the reply must come out whole after it.
      if (frame && *frame != reply) frame = assembler.TakeFrame();
      ASSERT_TRUE(frame);
      EXPECT_EQ(*frame, reply);
      EXPECT_FALSE(assembler.HasPartial());
    }
  }
}

TEST(FrameAssembler, AFrameWithAWrongCrcAndNothingBehindItIsHandedOverAsItIs) {
  FrameAssembler assembler;
  assembler.Feed(Hex("01 03 02 00 DC 00 00 AA"));
  EXPECT_EQ(assembler.TakeFrame(), Hex("01 03 02 00 DC 00 00"));
  EXPECT_EQ(assembler.TakeRest(), Hex("AA"));
  // A corrupted copy followed by a good one: the good one is what is handed over.
  assembler.Feed(Hex("01 03 02 00 DC 00 00 01 03 02 00 DC B9 DD"));
  EXPECT_EQ(assembler.TakeFrame(), Hex("01 03 02 00 DC B9 DD"));
  EXPECT_FALSE(assembler.HasPartial());
}

TEST(FrameAssembler, AFloodNeverHoldsMoreThanTheReceiveBuffer) {
  FrameAssembler assembler;
  const Bytes flood(2000, 0x00);  // function 0: no length, so nothing completes
  EXPECT_EQ(assembler.Feed(flood), 2000 - kReceiveBufferSize);
  EXPECT_EQ(assembler.Pending(), kReceiveBufferSize);
  for (int i = 0; i < 50; ++i) {
    assembler.Feed(Bytes(97, 0xFF));
    EXPECT_LE(assembler.Pending(), kReceiveBufferSize);
  }
  EXPECT_FALSE(assembler.TakeFrame());
  EXPECT_EQ(assembler.TakeRest().size(), kReceiveBufferSize);

  // The longest function-3 frame inside a flood: cut at its own length, the rest kept.
  // The frame leaves the buffer as soon as it is whole, making room for more of the flood.
  assembler.Feed(Hex("05 03 FF"));
  EXPECT_EQ(assembler.Feed(Bytes(1500, 0x11)), 1503 - kReceiveBufferSize - 260);
  EXPECT_EQ(assembler.Pending(), kReceiveBufferSize);
  EXPECT_EQ(assembler.TakeFrame()->size(), 260U);  // 5 plus the byte count
  EXPECT_EQ(assembler.Pending(), kReceiveBufferSize);
  EXPECT_FALSE(assembler.TakeFrame());
  assembler.Clear();
  EXPECT_FALSE(assembler.HasPartial());
}

}  // namespace
}  // namespace karvello
