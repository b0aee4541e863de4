// Finding the awaited reply in the bytes that arrive after a request.
#include "serial/reply_finder.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "framing/crc16.h"
#include "support/hex_bytes.h"

namespace karvello {
namespace {

using testing::Hex;
using Bytes = std::vector<std::uint8_t>;
using Kind = Received::Kind;

// Requests and their replies, the CRCs written out.
const Bytes kVoltageRequest = Hex("01 03 00 0F 00 01 B4 09");
const Bytes kVoltageReply = Hex("01 03 02 00 DC B9 DD");
const Bytes kConfirmRequest = Hex("05 06 00 12 00 05 E8 48");  // its echo is the same bytes
const Bytes kBroadcastRequest = Hex("00 06 00 12 00 05 E8 1D");
const Bytes kAddressRequest = Hex("00 03 00 12 00 01 25 DE");
const Bytes kAddressReply = Hex("05 03 02 00 05 89 87");
const Bytes kResistanceRequest = Hex("01 03 00 0D 00 02 55 C8");
const Bytes kResistanceReply = Hex("01 03 04 01 59 00 01 EA 1C");
const Bytes kVoltageRefusal = Hex("01 83 02 C0 F1");

ReplyFinder Awaiting(const Bytes& request) {
  ReplyFinder finder;
  RequestFrame frame{};
  std::copy(request.begin(), request.end(), frame.begin());
  // The address query goes to every detector, and the one there answers as itself.
  finder.Expect(request, ReplyShape::For(frame, request == kAddressRequest));
  return finder;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

TEST(ReplyFinder, AReplyIsHandedUpOnceWhenItsLastByteIsIn) {
  for (const auto& [request, reply] :
       {std::pair{kVoltageRequest, kVoltageReply}, std::pair{kAddressRequest, kAddressReply},
        std::pair{kResistanceRequest, kResistanceReply},
        std::pair{kConfirmRequest, kConfirmRequest}}) {
    ReplyFinder finder = Awaiting(request);
    for (std::size_t i = 0; i + 1 < reply.size(); ++i) {
      EXPECT_TRUE(finder.Feed(std::span(reply).subspan(i, 1)).empty()) << "byte " << i;
    }
    EXPECT_EQ(finder.Feed(std::span(reply).last(1)),
              (std::vector<Received>{{Kind::kReply, reply}}));
    EXPECT_FALSE(finder.HasWaiting());
    EXPECT_FALSE(finder.Silence());
  }
}

TEST(ReplyFinder, StrayBytesInFrontArePassedOver) {
  for (const Bytes& stray : {Hex("00"), Hex("FF"), Hex("00 01"), Hex("01 03"), Hex("A5 00 FF"),
                             Hex("01 03 02"), Hex("01 01 03")}) {
    ReplyFinder finder = Awaiting(kVoltageRequest);
    const Bytes arriving = Concat({stray, kVoltageReply});
    EXPECT_EQ(finder.Feed(arriving), (std::vector<Received>{{Kind::kReply, kVoltageReply}}))
        << "stray bytes: " << stray.size() << " from " << int{stray[0]};
    EXPECT_FALSE(finder.HasWaiting());
  }
}

TEST(ReplyFinder, AReplyFromAnotherSlaveIsAStrayOnceTheLineFallsSilent) {
  ReplyFinder finder = Awaiting(kVoltageRequest);
  const Bytes other = Hex("02 03 02 00 DC FD DD");
  EXPECT_TRUE(finder.Feed(other).empty());
  EXPECT_EQ(finder.Silence(), (Received{Kind::kStray, other}));
  EXPECT_FALSE(finder.HasWaiting());
  EXPECT_FALSE(finder.Silence());
}

TEST(ReplyFinder, AWrongCrcIsCorruptAtOnceUnlessTheRightReplyMayStillFollow) {
  ReplyFinder finder = Awaiting(kVoltageRequest);
  const Bytes corrupt = Hex("01 03 02 00 DC B9 DE");
  EXPECT_EQ(finder.Feed(corrupt), (std::vector<Received>{{Kind::kCorrupt, corrupt}}));

  // A head of the reply behind the corrupt one: the corrupt one was noise in front of it.
  ReplyFinder waiting = Awaiting(kVoltageRequest);
  const Bytes arriving = Concat({Hex("01 03 02 01 03 02 00"), kVoltageReply});
  EXPECT_EQ(waiting.Feed(std::span(arriving).first(8)), std::vector<Received>{});
  EXPECT_EQ(waiting.Feed(std::span(arriving).subspan(8)),
            (std::vector<Received>{{Kind::kReply, kVoltageReply}}));
}

// Whole, its CRC wrong, and ending in a byte that could begin the reply: once the line is silent
// it has no rest to wait for, so it is judged then; a head behind it goes on waiting.
TEST(ReplyFinder, AWrongCrcEndingInAPossibleHeadIsCorruptWhenTheLineFallsSilent) {
  for (const auto& [request, corrupt] :
       {std::pair{kVoltageRequest, Hex("01 03 02 00 DC B9 01")},
        std::pair{kAddressRequest, Hex("05 03 02 00 06 48 46")},
        std::pair{kResistanceRequest, Hex("01 03 04 01 59 00 01 EA 01")},
        std::pair{kConfirmRequest, Hex("05 06 00 12 00 05 E8 05")}}) {
    ReplyFinder finder = Awaiting(request);
    EXPECT_TRUE(finder.Feed(corrupt).empty());
    EXPECT_EQ(finder.Silence(), (Received{Kind::kCorrupt, corrupt}));
  }
  ReplyFinder finder = Awaiting(kVoltageRequest);
  const Bytes corrupt = Hex("01 03 02 00 DC B9 DE");
  EXPECT_TRUE(finder.Feed(Concat({corrupt, Hex("01 03")})).empty());
  EXPECT_EQ(finder.Silence(), (Received{Kind::kCorrupt, corrupt}));
  EXPECT_EQ(finder.Feed(std::span(kVoltageReply).subspan(2)),
            (std::vector<Received>{{Kind::kReply, kVoltageReply}}));
}

TEST(ReplyFinder, TheSlavesRefusalIsHandedUpWhole) {
  ReplyFinder finder = Awaiting(kVoltageRequest);
  EXPECT_TRUE(finder.Feed(std::span(kVoltageRefusal).first(4)).empty());
  EXPECT_EQ(finder.Feed(std::span(kVoltageRefusal).last(1)),
            (std::vector<Received>{{Kind::kRefusal, kVoltageRefusal}}));
  // Another slave's refusal is not an answer to this request.
  ReplyFinder other = Awaiting(kVoltageRequest);
  EXPECT_TRUE(other.Feed(Hex("02 83 02 30 F1")).empty());
  EXPECT_EQ(other.Silence()->kind, Kind::kStray);
}

TEST(ReplyFinder, AHeadWaitsForItsRestHoweverLongTheLinePauses) {
  for (std::size_t cut = 1; cut < kVoltageReply.size(); ++cut) {
    ReplyFinder finder = Awaiting(kVoltageRequest);
    EXPECT_TRUE(finder.Feed(std::span(kVoltageReply).first(cut)).empty());
    EXPECT_FALSE(finder.Silence()) << "cut after " << cut;
    EXPECT_FALSE(finder.Silence());
    EXPECT_EQ(finder.Feed(std::span(kVoltageReply).subspan(cut)),
              (std::vector<Received>{{Kind::kReply, kVoltageReply}}));
  }
}

TEST(ReplyFinder, ALoneByteWaitsOnlyWhenItNamesTheSlaveAsked) {
  ReplyFinder named = Awaiting(kVoltageRequest);
  EXPECT_TRUE(named.Feed(Hex("A5 01")).empty());
  EXPECT_FALSE(named.Silence());

  // The address query goes to every detector: one byte could be anyone's, two tell.
  ReplyFinder anyone = Awaiting(kAddressRequest);
  EXPECT_TRUE(anyone.Feed(Hex("07")).empty());
  EXPECT_EQ(anyone.Silence(), (Received{Kind::kStray, Hex("07")}));
  EXPECT_TRUE(anyone.Feed(Hex("07 03")).empty());
  EXPECT_FALSE(anyone.Silence());
}

TEST(ReplyFinder, NothingAwaitedDropsWhatArrives) {
  ReplyFinder finder;
  finder.Expect(Hex("01 06 00 11 00 01 18 0F"), std::nullopt);
  EXPECT_TRUE(finder.Feed(Hex("01 06 00 11 00 01 18 0F 55")).empty());
  EXPECT_FALSE(finder.HasWaiting());
  EXPECT_FALSE(finder.Silence());
}

TEST(ReplyFinder, ANewRequestDropsWhatWaits) {
  ReplyFinder finder = Awaiting(kVoltageRequest);
  EXPECT_TRUE(finder.Feed(Hex("01 03 02 00")).empty());
  RequestFrame frame{};
  std::copy(kResistanceRequest.begin(), kResistanceRequest.end(), frame.begin());
  finder.Expect(kResistanceRequest, ReplyShape::For(frame));
  EXPECT_FALSE(finder.HasWaiting());
  // The rest of the old reply is no head of the new one.
  EXPECT_TRUE(finder.Feed(Hex("DC B9 DD")).empty());
  EXPECT_EQ(finder.Silence()->kind, Kind::kStray);
}

TEST(ReplyFinder, EveryWholeCopyOfTheReplyIsHandedUp) {
  ReplyFinder finder = Awaiting(kVoltageRequest);
  EXPECT_EQ(finder.Feed(Concat({kVoltageReply, Hex("A5"), kVoltageReply})),
            (std::vector<Received>{{Kind::kReply, kVoltageReply}, {Kind::kReply, kVoltageReply}}));
}

// An adapter that hears its own transmission gives every request back first.
TEST(ReplyFinder, TheBroadcastShowsAnEchoingLineAndItsCopyIsNeverTheAnswer) {
  ReplyFinder finder;
  finder.Expect(kBroadcastRequest, std::nullopt);
  EXPECT_TRUE(finder.Feed(kBroadcastRequest).empty());
  EXPECT_TRUE(finder.Echoing());

  RequestFrame confirm{};
  std::copy(kConfirmRequest.begin(), kConfirmRequest.end(), confirm.begin());
  finder.Expect(kConfirmRequest, ReplyShape::For(confirm));
  // The line's copy of the confirmation is passed over; no detector, no answer.
  EXPECT_TRUE(finder.Feed(kConfirmRequest).empty());
  EXPECT_FALSE(finder.Silence());
  // With a detector its echo follows the line's copy.
  finder.Expect(kConfirmRequest, ReplyShape::For(confirm));
  EXPECT_EQ(finder.Feed(Concat({kConfirmRequest, kConfirmRequest})),
            (std::vector<Received>{{Kind::kReply, kConfirmRequest}}));
}

TEST(ReplyFinder, OnALineThatDoesNotEchoTheDetectorsEchoIsTheAnswer) {
  ReplyFinder finder;
  finder.Expect(kBroadcastRequest, std::nullopt);
  EXPECT_TRUE(finder.Feed(Hex("00")).empty());  // a glitch, not a copy
  EXPECT_FALSE(finder.Echoing());
  RequestFrame confirm{};
  std::copy(kConfirmRequest.begin(), kConfirmRequest.end(), confirm.begin());
  finder.Expect(kConfirmRequest, ReplyShape::For(confirm));
  EXPECT_EQ(finder.Feed(kConfirmRequest), (std::vector<Received>{{Kind::kReply, kConfirmRequest}}));
}

TEST(ReplyFinder, AReadsCopyIsPassedOver) {
  ReplyFinder finder = Awaiting(kVoltageRequest);
  EXPECT_TRUE(finder.Feed(kVoltageRequest).empty());
  EXPECT_TRUE(finder.Echoing());
  EXPECT_FALSE(finder.Silence());  // the copy is not judged as a stray
  EXPECT_EQ(finder.Feed(kVoltageReply), (std::vector<Received>{{Kind::kReply, kVoltageReply}}));
}

// The request's own copy on a line that may echo, stray bytes in front of it or not. After each
// case the confirmation's copy alone comes back: on a line known to echo it is passed over, else
// it is the detector's echo.
struct EchoCase {
  const char* name;
  bool known;           // the line has shown that it echoes, by a clean broadcast copy
  std::string request;  // the broadcast awaits nothing, the others their reply
  std::string pieces;   // what arrives, "|" between pieces
  std::string reply;    // the reply the pieces complete; "" none
  std::string quiet;    // the stray bytes handed up when the line then falls silent; "" none
  bool echoing;         // the line is known to echo after it
};

void PrintTo(const EchoCase& c, std::ostream* os) {
  *os << c.name;
}

// kBroadcastRequest, kConfirmRequest and kVoltageRequest with kVoltageReply, as text.
const std::string kBroadcast = "00 06 00 12 00 05 E8 1D";
const std::string kConfirm = "05 06 00 12 00 05 E8 48";
const std::string kVoltage = "01 03 00 0F 00 01 B4 09";
const std::string kVoltageOk = "01 03 02 00 DC B9 DD";

const EchoCase kEchoCases[] = {
    // A new line learns the echo from a broadcast's or a read's copy behind stray bytes.
    {"AStrayByteBeforeTheBroadcastsCopy", false, kBroadcast, "00 " + kBroadcast, "", "", true},
    {"StrayBytesBeforeTheBroadcastsCopy", false, kBroadcast, "A5 00 06 FF " + kBroadcast, "", "",
     true},
    {"StrayBytesAndTheBroadcastsCopySplit", false, kBroadcast, "FF 00 06|00 12|00 05 E8 1D", "", "",
     true},
    {"AStrayByteBeforeTheReadsCopy", false, kVoltage, "00 " + kVoltage + " " + kVoltageOk,
     kVoltageOk, "", true},
    // Edges of a copy: one byte short, or its last byte wrong, is none.
    {"TheBroadcastsCopyOneByteShort", false, kBroadcast, "00 00 06 00 12 00 05 E8", "", "", false},
    {"TheBroadcastsCopyWithItsLastByteWrong", false, kBroadcast, "00 00 06 00 12 00 05 E8 1E", "",
     "", false},
    // On a line known to echo the confirmation's copy is passed over behind stray bytes, which are
    // judged as before: handed up once the line is silent, or dropped in front of the reply.
    // What came before the copy is dropped with it: no reply is made of bytes from both sides.
    {"AStrayByteBeforeTheConfirmationsCopyAndNoDetector", true, kConfirm, "00 " + kConfirm, "", "",
     true},
    {"StrayBytesBeforeTheCopySplitNoDetector", true, kConfirm,
     "A5 00 05 06|00 12 00|05 E8 48", "", "", true},
    {"SlaveAddressBeforeTheCopyDroppedWithIt", true, kConfirm, "05 " + kConfirm,
     "", "", true},
    {"AReplysHeadBeforeTheCopyNeverJoinsItsTailBehindIt", true, kConfirm,
     "05 06 00 12 " + kConfirm + " 00 05 E8 48", "", "00 05 E8 48", true},
    {"StrayByteBeforeTheCopyThenTheEcho", true, kConfirm,
     "00 " + kConfirm + " " + kConfirm, kConfirm, "", true},
    {"AStrayByteBeforeEachCopy", true, kConfirm, "00 " + kConfirm + "|00 " + kConfirm, kConfirm, "",
     true},
    {"TheDetectorsEchoInTwoPiecesBehindTheCopy", true, kConfirm,
     "05 06 " + kConfirm + " 05 06 00 12|00 05 E8 48", kConfirm, "", true},
    // A line known to echo stays so whatever comes back instead of a copy.
    {"AMismatchedBroadcastCopyKeepsTheEcho", true, kBroadcast, "00 06 00 12 00 05 E8 1E", "", "",
     true},
    {"NothingBackFromABroadcastKeepsTheEcho", true, kBroadcast, "", "", "", true},
    {"ALoneStrayByteKeepsTheEcho", true, kConfirm, "00", "", "00", true},
    {"AReadsReplyWithoutACopyKeepsTheEcho", true, kVoltage, kVoltageOk, kVoltageOk, "", true},
};

class ReplyFinderOwnCopy : public ::testing::TestWithParam<EchoCase> {};

TEST_P(ReplyFinderOwnCopy, IsFoundBehindStrayBytes) {
  const EchoCase& c = GetParam();
  ReplyFinder finder;
  if (c.known) {
    finder.Expect(kBroadcastRequest, std::nullopt);
    finder.Feed(kBroadcastRequest);
    ASSERT_TRUE(finder.Echoing());
  }
  const Bytes request = Hex(c.request);
  RequestFrame frame{};
  std::copy(request.begin(), request.end(), frame.begin());
  finder.Expect(
      request, request == kBroadcastRequest ? std::nullopt : std::optional(ReplyShape::For(frame)));
  std::vector<Received> found;
  for (std::string_view rest = c.pieces; !rest.empty();) {
    const std::size_t bar = std::min(rest.find('|'), rest.size());
    for (Received& r : finder.Feed(Hex(std::string(rest.substr(0, bar))))) {
      found.push_back(std::move(r));
    }
    rest.remove_prefix(std::min(bar + 1, rest.size()));
  }
  std::vector<Received> expected;
  if (!c.reply.empty()) expected.push_back({Kind::kReply, Hex(c.reply)});
  EXPECT_EQ(found, expected);
  EXPECT_EQ(finder.Silence(),
            !c.quiet.empty() ? std::optional(Received{Kind::kStray, Hex(c.quiet)}) : std::nullopt);
  EXPECT_EQ(finder.Echoing(), c.echoing);

  // The confirmation's copy alone: never the answer on a line known to echo.
  const Received confirmEcho{Kind::kReply, kConfirmRequest};
  std::copy(kConfirmRequest.begin(), kConfirmRequest.end(), frame.begin());
  finder.Expect(kConfirmRequest, ReplyShape::For(frame));
  EXPECT_EQ(finder.Feed(kConfirmRequest),
            c.echoing ? std::vector<Received>{} : std::vector<Received>{confirmEcho});
  EXPECT_FALSE(finder.Silence());
}

INSTANTIATE_TEST_SUITE_P(Cases, ReplyFinderOwnCopy, ::testing::ValuesIn(kEchoCases),
                         [](const auto& info) { return std::string(info.param.name); });

// A stray byte and a pause before the copy: the byte is judged, the copy still passed over.
TEST(ReplyFinder, TheCopyIsPassedOverAfterAStrayByteAndAPause) {
  ReplyFinder finder;
  finder.Expect(kBroadcastRequest, std::nullopt);
  finder.Feed(kBroadcastRequest);
  RequestFrame confirm{};
  std::copy(kConfirmRequest.begin(), kConfirmRequest.end(), confirm.begin());
  finder.Expect(kConfirmRequest, ReplyShape::For(confirm));
  EXPECT_TRUE(finder.Feed(Hex("00")).empty());
  EXPECT_EQ(finder.Silence(), (Received{Kind::kStray, Hex("00")}));
  EXPECT_TRUE(finder.Feed(kConfirmRequest).empty());
  EXPECT_EQ(finder.Feed(kConfirmRequest), (std::vector<Received>{{Kind::kReply, kConfirmRequest}}));
}

// The copy behind more stray bytes than the receive buffer holds is still found.
TEST(ReplyFinder, TheCopyIsFoundBehindABurstLongerThanTheReceiveBuffer) {
  ReplyFinder finder;
  finder.Expect(kBroadcastRequest, std::nullopt);
  finder.Feed(Bytes(3000, 0xA5));
  EXPECT_FALSE(finder.HasWaiting());
  finder.Feed(kBroadcastRequest);
  EXPECT_TRUE(finder.Echoing());

  RequestFrame confirm{};
  std::copy(kConfirmRequest.begin(), kConfirmRequest.end(), confirm.begin());
  finder.Expect(kConfirmRequest, ReplyShape::For(confirm));
  EXPECT_TRUE(finder.Feed(Concat({Bytes(3000, 0xA5), kConfirmRequest})).empty());
  EXPECT_EQ(finder.Feed(kConfirmRequest), (std::vector<Received>{{Kind::kReply, kConfirmRequest}}));
}

TEST(ReplyFinder, ResetForgetsTheEcho) {
  ReplyFinder finder;
  finder.Expect(kBroadcastRequest, std::nullopt);
  finder.Feed(kBroadcastRequest);
  ASSERT_TRUE(finder.Echoing());
  finder.Reset();
  EXPECT_FALSE(finder.Echoing());
}

// What waits never exceeds the receive buffer; a reply behind a longer burst is still found.
TEST(ReplyFinder, TheReceiveBufferHolds1024Bytes) {
  ASSERT_EQ(kReceiveBufferSize, 1024U);
  for (std::size_t noise : {1023U, 1024U, 1025U, 3000U}) {
    ReplyFinder finder = Awaiting(kVoltageRequest);
    finder.Feed(Bytes(noise, 0xA5));
    EXPECT_EQ(finder.Waiting(), std::min<std::size_t>(noise, 1024)) << noise;
  }
  ReplyFinder finder = Awaiting(kVoltageRequest);
  EXPECT_EQ(finder.Feed(Concat({Bytes(3000, 0xA5), kVoltageReply, Bytes(3000, 0xA5)})),
            (std::vector<Received>{{Kind::kReply, kVoltageReply}}));
}

}  // namespace
}  // namespace karvello
