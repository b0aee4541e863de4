// Finding the awaited reply in the bytes that arrive after a request.
#include "serial/reply_finder.h"

#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "support/hex_bytes.h"

namespace karvello {
namespace {

using testing::Hex;
using testing::HexText;
using Bytes = std::vector<std::uint8_t>;
using Kind = Received::Kind;

// Requests and their replies by name, the CRCs written out. The confirmation's echo is the same
// bytes as the confirmation; the address query goes to every detector and the one there answers
// as itself.
const std::map<std::string, std::string> kNamed = {
    {"VOLTS?", "01 03 00 0F 00 01 B4 09"},  {"VOLTS", "01 03 02 00 DC B9 DD"},
    {"CONFIRM", "05 06 00 12 00 05 E8 48"}, {"BCAST", "00 06 00 12 00 05 E8 1D"},
    {"ADDR?", "00 03 00 12 00 01 25 DE"},   {"ADDR", "05 03 02 00 05 89 87"},
    {"OHMS?", "01 03 00 0D 00 02 55 C8"},   {"OHMS", "01 03 04 01 59 00 01 EA 1C"},
};

// `text` with each name replaced by its bytes.
std::string Expand(std::string_view text) {
  std::istringstream words{std::string(text)};
  std::string out;
  for (std::string word; words >> word;) {
    const bool comma = word.ends_with(',');
    const auto named = kNamed.find(comma ? word.substr(0, word.size() - 1) : word);
    out += (out.empty() ? "" : " ") + (named != kNamed.end() ? named->second : word);
    if (comma && named != kNamed.end()) out += ',';
  }
  return out;
}

Bytes Named(const std::string& name) {
  return Hex(kNamed.at(name));
}

ReplyFinder Awaiting(const Bytes& request) {
  ReplyFinder finder;
  finder.Expect(request,
                ReplyShape::For(testing::Frame(HexText(request)), request == Named("ADDR?")));
  return finder;
}

std::string Describe(const Received& r) {
  static const char* const kKinds[] = {"reply", "refusal", "corrupt", "stray"};
  return std::string(kKinds[static_cast<int>(r.kind)]) + " " + HexText(r.bytes);
}

// Plays `script` on `finder`: steps apart by "|", each "> BYTES" a request sent awaiting its
// reply (">> BYTES" awaiting nothing), "." the line falling silent, or BYTES arriving. What a
// step hands up follows its " = " as "kind BYTES", apart by ", "; a step without it hands up
// nothing.
void Play(ReplyFinder& finder, std::string_view script) {
  for (std::string_view rest = script; !rest.empty();) {
    const std::size_t bar = std::min(rest.find('|'), rest.size());
    const std::string_view step = rest.substr(0, bar);
    rest.remove_prefix(std::min(bar + 1, rest.size()));
    SCOPED_TRACE(std::string(step));
    const std::size_t equals = step.find(" = ");
    const std::string action = Expand(step.substr(0, equals));
    const std::string expected =
        equals == std::string_view::npos ? "" : Expand(step.substr(equals + 3));
    std::string got;
    if (action.starts_with(">> ")) {
      finder.Expect(Hex(action.substr(3)), std::nullopt);
    } else if (action.starts_with("> ")) {
      finder.Expect(Hex(action.substr(2)), ReplyShape::For(testing::Frame(action.substr(2)),
                                                           action.substr(2) == kNamed.at("ADDR?")));
    } else if (action == ".") {
      if (const auto quiet = finder.Silence()) got = Describe(*quiet);
    } else {
      for (const Received& r : finder.Feed(Hex(action))) {
        got += (got.empty() ? "" : ", ") + Describe(r);
      }
    }
    EXPECT_EQ(got, expected);
  }
}

TEST(ReplyFinder, AReplyIsHandedUpOnceWhenItsLastByteIsIn) {
  for (const auto& [request, reply] :
       {std::pair{"VOLTS?", "VOLTS"}, std::pair{"ADDR?", "ADDR"}, std::pair{"OHMS?", "OHMS"},
        std::pair{"CONFIRM", "CONFIRM"}}) {
    ReplyFinder finder = Awaiting(Named(request));
    const Bytes bytes = Named(reply);
    for (std::size_t i = 0; i + 1 < bytes.size(); ++i) {
      EXPECT_TRUE(finder.Feed(std::span(bytes).subspan(i, 1)).empty()) << "byte " << i;
    }
    EXPECT_EQ(finder.Feed(std::span(bytes).last(1)),
              (std::vector<Received>{{Kind::kReply, bytes}}));
    EXPECT_FALSE(finder.HasWaiting());
    EXPECT_FALSE(finder.Silence());
  }
}

TEST(ReplyFinder, StrayBytesInFrontArePassedOver) {
  for (const char* stray : {"00", "FF", "00 01", "01 03", "A5 00 FF", "01 03 02", "01 01 03"}) {
    ReplyFinder finder = Awaiting(Named("VOLTS?"));
    EXPECT_EQ(finder.Feed(Hex(stray + std::string(" ") + kNamed.at("VOLTS"))),
              (std::vector<Received>{{Kind::kReply, Named("VOLTS")}}))
        << stray;
    EXPECT_FALSE(finder.HasWaiting());
  }
}

// Cut anywhere, behind stray bytes or not.
TEST(ReplyFinder, AHeadWaitsForItsRestHoweverLongTheLinePauses) {
  for (const char* stray : {"", "00", "00 FF 01"}) {
    const Bytes arriving = Hex(stray + std::string(" ") + kNamed.at("VOLTS"));
    for (std::size_t cut = std::string_view(stray).empty() ? 1 : 0; cut < arriving.size(); ++cut) {
      SCOPED_TRACE(std::string(stray) + " cut after " + std::to_string(cut));
      ReplyFinder finder = Awaiting(Named("VOLTS?"));
      EXPECT_TRUE(finder.Feed(std::span(arriving).first(cut)).empty());
      if (cut > Hex(stray).size()) {
        EXPECT_FALSE(finder.Silence());
        EXPECT_FALSE(finder.Silence());
      }
      EXPECT_EQ(finder.Feed(std::span(arriving).subspan(cut)),
                (std::vector<Received>{{Kind::kReply, Named("VOLTS")}}));
    }
  }
}

// What arrives after requests, and what the finder makes of it; at the end, whether the line is
// known to echo. A line that hears its own transmission gives every request back first: a clean
// copy of the broadcast, or of a read, shows it.
struct Script {
  const char* name;
  std::string steps;
  bool echoing;
};

void PrintTo(const Script& s, std::ostream* os) {
  *os << s.name;
}

// The line shown to echo by the broadcast's copy.
const std::string kEchoes = ">> BCAST|BCAST|";
// Then the confirmation's copy alone: passed over on a line known to echo, else the answer.
const std::string kCopyPassedOver = "|> CONFIRM|CONFIRM|.";
const std::string kCopyAnswers = "|> CONFIRM|CONFIRM = reply CONFIRM|.";

const Script kScripts[] = {
    {"AnotherSlavesReplyIsAStrayOnceSilent",
     "> VOLTS?|02 03 02 00 DC FD DD|. = stray 02 03 02 00 DC FD DD|.", false},
    {"AWrongCrcIsCorruptAtOnce", "> VOLTS?|01 03 02 00 DC B9 DE = corrupt 01 03 02 00 DC B9 DE",
     false},
    {"AWrongCrcIsNoiseWhenTheReplyMayFollow",
     "> VOLTS?|01 03 02 01 03 02 00 01|03 02 00 DC B9 DD = reply VOLTS", false},
    // Whole, its CRC wrong, and ending in a byte that could begin the reply: once the line is
    // silent it has no rest to wait for; a head behind it goes on waiting.
    {"WrongCrcEndingInAHeadVolts", "> VOLTS?|01 03 02 00 DC B9 01|. = corrupt 01 03 02 00 DC B9 01",
     false},
    {"WrongCrcEndingInAHeadAddress",
     "> ADDR?|05 03 02 00 06 48 46|. = corrupt 05 03 02 00 06 48 46", false},
    {"WrongCrcEndingInAHeadOhms",
     "> OHMS?|01 03 04 01 59 00 01 EA 01|. = corrupt 01 03 04 01 59 00 01 EA 01", false},
    {"WrongCrcEndingInAHeadConfirm",
     "> CONFIRM|05 06 00 12 00 05 E8 05|. = corrupt 05 06 00 12 00 05 E8 05", false},
    {"WrongCrcThenAHead",
     "> VOLTS?|01 03 02 00 DC B9 DE 01 03|. = corrupt 01 03 02 00 DC B9 DE|02 00 DC B9 DD = reply "
     "VOLTS",
     false},
    {"TheSlavesRefusalWhole", "> VOLTS?|01 83 02 C0|F1 = refusal 01 83 02 C0 F1", false},
    {"AnotherSlavesRefusalIsAStray", "> VOLTS?|02 83 02 30 F1|. = stray 02 83 02 30 F1", false},
    // A lone byte waits only when it names the slave asked; to the address query one byte could
    // be anyone's, two tell.
    {"ALoneByteNamingTheSlaveWaits", "> VOLTS?|A5 01|.", false},
    {"ALoneByteToTheAddressQuery", "> ADDR?|07|. = stray 07|07 03|.", false},
    {"NothingAwaitedDropsWhatArrives", ">> 01 06 00 11 00 01 18 0F|01 06 00 11 00 01 18 0F 55|.",
     false},
    // The rest of the old reply is no head of the new one.
    {"ANewRequestDropsWhatWaits", "> VOLTS?|01 03 02 00|> OHMS?|DC B9 DD|. = stray DC B9 DD",
     false},
    {"EveryWholeCopyOfTheReply", "> VOLTS?|VOLTS A5 VOLTS = reply VOLTS, reply VOLTS", false},
    // The line's copy of the confirmation is passed over; with a detector its echo follows.
    {"TheBroadcastShowsAnEchoingLine",
     kEchoes + "> CONFIRM|CONFIRM|.|> CONFIRM|CONFIRM CONFIRM "
               "= reply CONFIRM",
     true},
    {"AGlitchIsNoCopy", ">> BCAST|00" + kCopyAnswers, false},
    {"AReadsCopyIsPassedOver", "> VOLTS?|VOLTS?|.|VOLTS = reply VOLTS", true},
    // A new line learns the echo from a broadcast's or a read's copy behind stray bytes.
    {"AStrayByteBeforeTheBroadcastsCopy", ">> BCAST|00 BCAST|." + kCopyPassedOver, true},
    {"StrayBytesBeforeTheBroadcastsCopy", ">> BCAST|A5 00 06 FF BCAST|." + kCopyPassedOver, true},
    {"StrayBytesAndTheBroadcastsCopySplit",
     ">> BCAST|FF 00 06|00 12|00 05 E8 1D|." + kCopyPassedOver, true},
    {"AStrayByteBeforeTheReadsCopy", "> VOLTS?|00 VOLTS? VOLTS = reply VOLTS|." + kCopyPassedOver,
     true},
    // Edges of a copy: one byte short, or its last byte wrong, is none.
    {"TheBroadcastsCopyOneByteShort", ">> BCAST|00 00 06 00 12 00 05 E8|." + kCopyAnswers, false},
    {"TheBroadcastsCopyWithItsLastByteWrong",
     ">> BCAST|00 00 06 00 12 00 05 E8 1E|." + kCopyAnswers, false},
    // On a line known to echo the confirmation's copy is passed over behind stray bytes, which
    // are judged as before: handed up once the line is silent, or dropped in front of the reply.
    // What came before the copy is dropped with it: no reply is made of bytes from both sides.
    {"AStrayByteBeforeTheConfirmationsCopyAndNoDetector",
     kEchoes + "> CONFIRM|00 CONFIRM|." + kCopyPassedOver, true},
    {"StrayBytesBeforeTheCopySplitNoDetector",
     kEchoes + "> CONFIRM|A5 00 05 06|00 12 00|05 E8 48|." + kCopyPassedOver, true},
    {"SlaveAddressBeforeTheCopyDroppedWithIt", kEchoes + "> CONFIRM|05 CONFIRM|." + kCopyPassedOver,
     true},
    {"AReplysHeadBeforeTheCopyNeverJoinsItsTailBehindIt",
     kEchoes + "> CONFIRM|05 06 00 12 CONFIRM 00 05 E8 48|. = stray 00 05 E8 48" + kCopyPassedOver,
     true},
    {"StrayByteBeforeTheCopyThenTheEcho",
     kEchoes + "> CONFIRM|00 CONFIRM CONFIRM = reply CONFIRM|." + kCopyPassedOver, true},
    {"AStrayByteBeforeEachCopy",
     kEchoes + "> CONFIRM|00 CONFIRM|00 CONFIRM = reply CONFIRM|." + kCopyPassedOver, true},
    {"TheDetectorsEchoInTwoPiecesBehindTheCopy",
     kEchoes + "> CONFIRM|05 06 CONFIRM 05 06 00 12|00 05 E8 48 = reply CONFIRM|." +
         kCopyPassedOver,
     true},
    // A stray byte and a pause before the copy: the byte is judged, the copy still passed over.
    {"TheCopyAfterAStrayByteAndAPause",
     kEchoes + "> CONFIRM|00|. = stray 00|CONFIRM|CONFIRM = reply CONFIRM", true},
    // A line known to echo stays so whatever comes back instead of a copy.
    {"AMismatchedBroadcastCopyKeepsTheEcho",
     kEchoes + ">> BCAST|00 06 00 12 00 05 E8 1E|." + kCopyPassedOver, true},
    {"NothingBackFromABroadcastKeepsTheEcho", kEchoes + ">> BCAST|." + kCopyPassedOver, true},
    {"ALoneStrayByteKeepsTheEcho", kEchoes + "> CONFIRM|00|. = stray 00" + kCopyPassedOver, true},
    {"AReadsReplyWithoutACopyKeepsTheEcho",
     kEchoes + "> VOLTS?|VOLTS = reply VOLTS|." + kCopyPassedOver, true},
};

class ReplyFinderScript : public ::testing::TestWithParam<Script> {};

TEST_P(ReplyFinderScript, HandsUpWhatArrives) {
  ReplyFinder finder;
  Play(finder, GetParam().steps);
  EXPECT_EQ(finder.Echoing(), GetParam().echoing);
}

INSTANTIATE_TEST_SUITE_P(Cases, ReplyFinderScript, ::testing::ValuesIn(kScripts),
                         [](const auto& info) { return std::string(info.param.name); });

// The copy behind more stray bytes than the receive buffer holds is still found; a reset forgets
// the echo.
TEST(ReplyFinder, TheCopyIsFoundBehindABurstLongerThanTheReceiveBuffer) {
  ReplyFinder finder;
  finder.Expect(Named("BCAST"), std::nullopt);
  finder.Feed(Bytes(3000, 0xA5));
  EXPECT_FALSE(finder.HasWaiting());
  finder.Feed(Named("BCAST"));
  EXPECT_TRUE(finder.Echoing());
  finder.Expect(Named("CONFIRM"), ReplyShape::For(testing::Frame(kNamed.at("CONFIRM"))));
  Bytes burst(3000, 0xA5);
  for (const std::uint8_t b : Named("CONFIRM")) burst.push_back(b);
  EXPECT_TRUE(finder.Feed(burst).empty());
  Play(finder, "CONFIRM = reply CONFIRM");
  finder.Reset();
  EXPECT_FALSE(finder.Echoing());
}

// What waits never exceeds the receive buffer; a reply behind a longer burst is still found.
TEST(ReplyFinder, TheReceiveBufferHolds1024Bytes) {
  ASSERT_EQ(kReceiveBufferSize, 1024U);
  for (std::size_t noise : {1023U, 1024U, 1025U, 3000U}) {
    ReplyFinder finder = Awaiting(Named("VOLTS?"));
    finder.Feed(Bytes(noise, 0xA5));
    EXPECT_EQ(finder.Waiting(), std::min<std::size_t>(noise, 1024)) << noise;
  }
  ReplyFinder finder = Awaiting(Named("VOLTS?"));
  Bytes arriving(3000, 0xA5);
  for (const std::uint8_t b : Named("VOLTS")) arriving.push_back(b);
  arriving.resize(arriving.size() + 3000, 0xA5);
  EXPECT_EQ(finder.Feed(arriving), (std::vector<Received>{{Kind::kReply, Named("VOLTS")}}));
}

}  // namespace
}  // namespace karvello
