// The registers a SCADA reads from the gateway, made from the site's state at the time of a
// request: each register of the quality block in each state, the detector's own registers
// refused while their reading is not there, the gateway's unit, and each exception at its edge.
// Also where a server listens, as --modbus-server gives it.

#include "gateway/scada_registers.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "gateway/listen_address.h"
#include "support/case_names.h"
#include "support/hex_bytes.h"

namespace karvello::gateway {
namespace {

using testing::Hex;
using testing::HexText;

const QDateTime kNow = QDateTime::fromString("2026-12-07T18:00:00.000+08:00", Qt::ISODateWithMs);

// A quantity last read `secondsAgo`, with `result`, `answered` and `failed` in all; answered, its
// value is `value`, and it is the last good one too.
QuantityState Read(Result result, std::optional<Reading> value, int secondsAgo,
                   std::uint64_t answered = 0, std::uint64_t failed = 0) {
  QuantityState q;
  q.lastTime = kNow.addSecs(-secondsAgo);
  q.lastResult = result;
  q.answered = answered;
  q.failed = failed;
  if (result == Result::kAnswered) {
    q.lastValue = value;
    q.goodValue = value;
    q.goodTime = q.lastTime;
  }
  return q;
}

// A quantity whose last reading failed `secondsAgo`, its last good one `goodAgo` (-1: none).
QuantityState Failed(Result result, std::optional<Reading> good, int secondsAgo, int goodAgo,
                     std::uint64_t failed = 0) {
  QuantityState q = Read(result, std::nullopt, secondsAgo, 0, failed);
  if (goodAgo >= 0) {
    q.goodValue = good;
    q.goodTime = kNow.addSecs(-goodAgo);
  }
  return q;
}

// A detector of these quantities, its alarm and its failures in a row as given; set aside (and its
// no-answer alarm standing) since `asideSince`, when given.
DetectorState Detector(QuantityState resistance, QuantityState voltage = {}, bool alarm = false,
                       std::uint32_t failuresInRow = 0,
                       std::optional<QDateTime> asideSince = std::nullopt) {
  DetectorState d;
  d.resistance = resistance;
  d.voltage = voltage;
  d.alarm = alarm;
  d.failuresInRow = failuresInRow;
  d.noAnswer = asideSince.has_value();
  d.asideSince = asideSince;
  return d;
}

SiteSnapshot SiteWith(const DetectorState& detector, bool lineOpen = true) {
  SiteSnapshot site;
  site.started = kNow.addSecs(-3600);
  site.line.open = lineOpen;
  site.detectors[5] = detector;
  return site;
}

// The words of a read as hex text ("0002 FFFF"), or "exception XX".
std::string Words(const SiteSnapshot& site, std::uint8_t unit, std::uint16_t start,
                  std::uint16_t count) {
  const auto read = ScadaRegisters(site, kNow).Read(unit, start, count);
  char text[16];
  if (const auto* why = std::get_if<ScadaRefusal>(&read)) {
    std::snprintf(text, sizeof text, "exception %02X", static_cast<unsigned>(*why));
    return text;
  }
  std::string words;
  for (std::uint16_t word : std::get<std::vector<std::uint16_t>>(read)) {
    std::snprintf(text, sizeof text, "%s%04X", words.empty() ? "" : " ", word);
    words += text;
  }
  return words;
}

constexpr Reading kOhms2{3450, 2, false};   // 34.50 Ω
constexpr Reading kOhms1{345, 1, false};    // 34.5 Ω
constexpr Reading kOhms0{65535, 0, false};  // 65535 Ω
constexpr Reading kOver{0, 3, true};        // OL, 3 decimals as the detector said
constexpr Reading kVolts{220, 0, false};
constexpr auto kAnswered = Result::kAnswered;

struct QualityCase {
  const char* name;
  DetectorState detector;
  bool lineOpen;
  // 0x0100 to 0x0111: r state, r value (2), r age (2), v state, v value, v age (2), alarm,
  // failures in a row, answered (2), failed (2), no-answer alarm, seconds set aside (2).
  const char* words;
};

class ScadaQualityBlock : public ::testing::TestWithParam<QualityCase> {};

TEST_P(ScadaQualityBlock, GivesEachValueItsStateAndAge) {
  const QualityCase& c = GetParam();
  EXPECT_EQ(Words(SiteWith(c.detector, c.lineOpen), 5, kQualityBlock, 18), c.words);
}

INSTANTIATE_TEST_SUITE_P(
    States, ScadaQualityBlock,
    ::testing::Values(
        QualityCase{"nothing read yet",
                    {},
                    true,
                    "0002 FFFF FFFF FFFF FFFF 0002 FFFF FFFF FFFF 0000 0000 0000 0000 0000 0000 "
                    "0000 FFFF FFFF"},
        QualityCase{
            "good, two decimals",
            Detector(Read(kAnswered, kOhms2, 90, 3, 1), Read(kAnswered, kVolts, 30, 4), true), true,
            "0000 0000 0D7A 0000 005A 0000 00DC 0000 001E 0001 0000 0000 0007 0000 0001 "
            "0000 FFFF FFFF"},
        QualityCase{"good, one decimal", Detector(Read(kAnswered, kOhms1, 0)), true,
                    "0000 0000 0D7A 0000 0000 0002 FFFF FFFF FFFF 0000 0000 0000 0000 0000 0000 "
                    "0000 FFFF FFFF"},
        QualityCase{"good, no decimals, highest", Detector(Read(kAnswered, kOhms0, 1)), true,
                    "0000 0063 FF9C 0000 0001 0002 FFFF FFFF FFFF 0000 0000 0000 0000 0000 0000 "
                    "0000 FFFF FFFF"},
        QualityCase{"over range has an age but no value", Detector(Read(kAnswered, kOver, 61)),
                    true,
                    "0001 FFFF FFFF 0000 003D 0002 FFFF FFFF FFFF 0000 0000 0000 0000 0000 0000 "
                    "0000 FFFF FFFF"},
        QualityCase{"failed after a good keeps it, its age growing",
                    Detector(Failed(Result::kNoReply, kOhms1, 60, 600, 2),
                             Failed(Result::kCorrupt, kVolts, 5, 65, 1), false, 3),
                    true,
                    "0003 0000 0D7A 0000 0258 0003 00DC 0000 0041 0000 0003 0000 0000 0000 0003 "
                    "0000 FFFF FFFF"},
        QualityCase{"failed with none good before",
                    Detector(Failed(Result::kRefused, std::nullopt, 1, -1),
                             Failed(Result::kNoReply, std::nullopt, 1, -1)),
                    true,
                    "0003 FFFF FFFF FFFF FFFF 0003 FFFF FFFF FFFF 0000 0000 0000 0000 0000 0000 "
                    "0000 FFFF FFFF"},
        QualityCase{"line lost, whatever was read",
                    Detector(Read(kAnswered, kOhms2, 10), Failed(Result::kLineLost, kVolts, 2, 12)),
                    false,
                    "0004 0000 0D7A 0000 000A 0004 00DC 0000 000C 0000 0000 0000 0000 0000 0000 "
                    "0000 FFFF FFFF"},
        QualityCase{"line lost before any reading",
                    {},
                    false,
                    "0004 FFFF FFFF FFFF FFFF 0004 FFFF FFFF FFFF 0000 0000 0000 0000 0000 0000 "
                    "0000 FFFF FFFF"},
        QualityCase{"set aside, not answering since",
                    Detector({}, Failed(Result::kNoReply, kVolts, 300, 900, 5), false, 5,
                             kNow.addSecs(-290)),
                    true,
                    "0002 FFFF FFFF FFFF FFFF 0003 00DC 0000 0384 0000 0005 0000 0000 0000 0005 "
                    "0001 0000 0122"},
        QualityCase{
            "counts saturate, a future reading is 0 s old",
            Detector(
                [] {
                  QuantityState unread;
                  unread.failed = 0x1'2345'6789ULL;
                  return unread;
                }(),
                Read(kAnswered, Reading{65535, 0, false}, -30, 0x1'0000'0000ULL), false, 65536),
            true,
            "0002 FFFF FFFF FFFF FFFF 0000 FFFF 0000 0000 0000 FFFF FFFF FFFF FFFF FFFF "
            "0000 FFFF FFFF"}),
    [](const auto& info) { return test::CaseWord(info.param.name); });

// The detector's own registers: the last reading as it gave it, refused (0x0B) while that
// reading failed or none has been made, as a gateway answers for a silent device. Any part of
// the quality block reads alone.
TEST(ScadaOwnRegisters, GiveTheLastReadingOnlyWhileItStands) {
  const DetectorState good = Detector(Read(kAnswered, kOhms2, 90), Read(kAnswered, kVolts, 30));
  const DetectorState over =
      Detector(Read(kAnswered, kOver, 1), Failed(Result::kNoReply, kVolts, 1, 100));
  const DetectorState none;
  const struct {
    const char* name;
    DetectorState detector;
    std::uint16_t start;
    std::uint16_t count;
    const char* words;
  } cases[] = {
      {"the three", good, 0x000D, 3, "0D7A 0002 00DC"},
      {"resistance and decimals", good, 0x000D, 2, "0D7A 0002"},
      {"voltage", good, 0x000F, 1, "00DC"},
      {"address", good, 0x0012, 1, "0005"},
      {"over range as said", over, 0x000D, 2, "0000 0003"},
      {"a failed voltage", over, 0x000F, 1, "exception 0B"},
      {"a failed voltage beside a good", over, 0x000D, 3, "exception 0B"},
      {"none yet", none, 0x000E, 1, "exception 0B"},
      {"the address with nothing read", none, 0x0012, 1, "0005"},
      {"below", good, 0x000C, 1, "exception 02"},
      {"across the end", good, 0x000F, 2, "exception 02"},
      {"between", good, 0x0010, 1, "exception 02"},
      {"up to the address", good, 0x0011, 2, "exception 02"},
      {"past the address", good, 0x0012, 2, "exception 02"},
      {"under the block", good, 0x00FF, 2, "exception 02"},
      {"past the block", good, 0x0111, 2, "exception 02"},
      {"after the block", good, 0x0112, 1, "exception 02"},
      {"a quality block's age", good, 0x0103, 2, "0000 005A"},
      {"a quality block's value", good, 0x0106, 1, "00DC"},
      {"a quality block's count", good, 0x010E, 1, "0000"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Words(SiteWith(c.detector), 5, c.start, c.count), c.words) << c.name;
  }
  // A failed reading while the line is lost is refused too.
  EXPECT_EQ(Words(SiteWith(over, false), 5, 0x000D, 2), "0000 0003");
  DetectorState lost = good;
  lost.voltage = Failed(Result::kLineLost, kVolts, 1, 31);
  EXPECT_EQ(Words(SiteWith(lost, false), 5, 0x000F, 1), "exception 0B");
}

TEST(ScadaGatewayUnit, TellsTheLineBrokerRecordAndAlarms) {
  SiteSnapshot site;
  site.started = kNow.addSecs(-(70000 + 65536));
  site.line.open = true;
  site.broker = {true, true, 0x1'0002, 0};
  site.detectors[3].alarm = true;
  site.detectors[9].alarm = true;
  site.detectors[7].noAnswer = true;
  EXPECT_EQ(Words(site, 0, 0, 10), "0001 0001 0001 0002 0002 1170 0003 0001 0002 0001");
  site.line.open = false;
  site.broker = {true, false, 5, 0};
  site.record = {"/var/lib/karvello/record.csv", true, 3};
  site.detectors[3].alarm = false;
  site.detectors[7].noAnswer = false;
  EXPECT_EQ(Words(site, 0, 0, 10), "0000 0002 0000 0005 0002 1170 0003 0000 0001 0000");
  site.broker = {};
  site.record = {};
  site.broker.queued = 0x1'0000'0000ULL;  // saturates
  EXPECT_EQ(Words(site, 0, 1, 3), "0000 FFFF FFFF");
  EXPECT_EQ(Words(site, 0, 7, 1), "0001");  // no record kept: nothing failing
  EXPECT_EQ(Words(site, 0, 8, 2), "0001 0000");
  EXPECT_EQ(Words(site, 0, 9, 2), "exception 02");
  EXPECT_EQ(Words(site, 0, 0x0100, 1), "exception 02");
  EXPECT_EQ(Words(site, 0, 0x000D, 1), "exception 02");
}

// Whole requests and their replies, each refusal at its edge.
TEST(ScadaAnswer, RefusesAtEachEdge) {
  const SiteSnapshot site = SiteWith(Detector({}, Read(kAnswered, kVolts, 30)));
  const ScadaRegisters registers(site, kNow);
  const struct {
    std::uint8_t unit;
    const char* request;
    const char* reply;
  } cases[] = {
      {5, "03 00 0F 00 01", "03 02 00 DC"},
      {5, "04 00 0F 00 01", "04 02 00 DC"},  // input registers are the same
      {5, "04 01 05 00 02", "04 04 00 00 00 DC"},
      {5, "06 00 11 00 01", "86 01"},  // no write starts a measurement
      {5, "10 00 12 00 01 02 00 07", "90 01"},
      {5, "01 00 00 00 01", "81 01"},
      {5, "2B 0E 01 00", "AB 01"},
      {9, "06 00 11 00 01", "86 01"},  // read-only before all else
      {9, "03 00 0F 00 01", "83 0B"},  // a unit not read
      {255, "03 00 00 00 01", "83 0B"},
      {5, "03 01 00 00 00", "83 03"},  // a count of 0
      {5, "03 00 00 00 7D", "83 02"},  // 125: a count taken, no such registers
      {5, "03 01 00 00 7E", "83 03"},  // 126 refused
      {5, "03 01 00 FF FF", "83 03"},
      {0, "03 00 00 00 7E", "83 03"},
      {0, "03 00 00 00 00", "83 03"},
      {5, "03 01 00 00", "83 03"},        // a request too short
      {5, "03 01 00 00 01 00", "83 03"},  // too long
      {5, "03 FF FF 00 7D", "83 02"},     // past the last register
      {5, "03", "83 03"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(HexText(registers.Answer(c.unit, Hex(c.request))), c.reply)
        << "unit " << int(c.unit) << ": " << c.request;
  }
}

TEST(ListenAddress, TakesAPortAndAnOptionalHost) {
  const struct {
    const char* text;
    const char* host;  // nullptr: refused
    std::uint16_t port;
  } cases[] = {
      {"502", "127.0.0.1", 502},
      {"1", "127.0.0.1", 1},
      {"65535", "127.0.0.1", 65535},
      {"0", nullptr, 0},
      {"65536", nullptr, 0},
      {"0.0.0.0:502", "0.0.0.0", 502},
      {"192.0.2.10:1502", "192.0.2.10", 1502},
      {"255.255.255.255:1", "255.255.255.255", 1},
      {"[::1]:502", "::1", 502},
      {"[::]:5020", "::", 5020},
      {"256.0.0.1:502", nullptr, 0},
      {"1.2.3:502", nullptr, 0},
      {"1.2.3.4.5:502", nullptr, 0},
      {"localhost:502", nullptr, 0},
      {":502", nullptr, 0},
      {"127.0.0.1:", nullptr, 0},
      {"127.0.0.1", nullptr, 0},
      {"[::1]", nullptr, 0},
      {"[x]:502", nullptr, 0},
      {"::1:502", nullptr, 0},
      {"+502", nullptr, 0},
      {"0502", "127.0.0.1", 502},
      {"000502", nullptr, 0},
      {"", nullptr, 0},
  };
  for (const auto& c : cases) {
    std::string why;
    const auto address = ParseListenAddress(c.text, &why);
    if (!c.host) {
      EXPECT_FALSE(address) << c.text;
      EXPECT_NE(why.find(std::string("\"") + c.text + "\""), std::string::npos) << why;
      continue;
    }
    ASSERT_TRUE(address) << c.text << ": " << why;
    EXPECT_EQ(address->host, c.host) << c.text;
    EXPECT_EQ(address->port, c.port) << c.text;
  }
  EXPECT_EQ(ListenAddressText({"::1", 502}), "[::1]:502");
  EXPECT_EQ(ListenAddressText({"0.0.0.0", 1502}), "0.0.0.0:1502");
}

}  // namespace
}  // namespace karvello::gateway
