#include "sim/simulated_detector.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "sim/pty_pair.h"
#include "sim/slave_port.h"
#include "support/case_names.h"
#include "support/hex_bytes.h"

namespace karvello::sim {
namespace {

using test::PrintTo;
using namespace std::chrono_literals;
using testing::Hex;
using testing::Received;
using testing::SlavePort;

constexpr char kAskVolts[] = "01 03 00 0F 00 01 B4 09";  // the voltage of detector 1, and its reply
constexpr char kVolts[] = "01 03 02 00 DC B9 DD";

// The detector with a port opened on its line.
struct Bench {
  explicit Bench(DetectorConfig config = {}) : detector(config), port(detector.SlavePath()) {}

  // Sends `request` and waits until the detector has dealt with it. Every request here is well
  // formed, so the exchange finishes once the reply is written.
  bool Send(const std::string& request) {
    const std::size_t before = detector.ExchangeCount();
    return port.Write(Hex(request)) && detector.WaitForExchanges(before + 1, 2s);
  }
  // Sends `request` and returns what came back.
  std::vector<std::uint8_t> Ask(const std::string& request) {
    EXPECT_TRUE(Send(request)) << request;
    return port.Read(50ms, 30ms).bytes;
  }
  // What arrives until `count` bytes have, each piece read as soon as it comes; less where
  // nothing more comes within 2 s.
  Received ReadAtLeast(std::size_t count) {
    Received got;
    while (got.bytes.size() < count) {
      const Received more = port.Read(2s, 0ms);
      if (more.bytes.empty()) break;
      got.bytes.insert(got.bytes.end(), more.bytes.begin(), more.bytes.end());
      got.times.insert(got.times.end(), more.times.begin(), more.times.end());
    }
    return got;
  }

  SimulatedDetector detector;
  SlavePort port;
};

struct RequestCase {
  const char* name;
  std::uint8_t address;
  const char* request;
  const char* reply;  // empty: none
};

class RequestTest : public ::testing::TestWithParam<RequestCase> {};

TEST_P(RequestTest, AnswersAsTheDetector) {
  const RequestCase& c = GetParam();
  Bench bench(DetectorConfig{.address = c.address});
  ASSERT_TRUE(bench.port.IsOpen());
  EXPECT_EQ(bench.Ask(c.request), Hex(c.reply));
  testing::ExpectOneExchange(bench.detector.Exchanges(), Hex(c.request), Hex(c.reply));
}

const RequestCase kRequests[] = {
    // Not answered: another slave's request, a broadcast that is not the address's query.
    {"OtherSlaveIgnored", 1, "02 03 00 0F 00 01 B4 3A", ""},
    {"BroadcastStartSilent", 1, "00 06 00 11 00 01 19 DE", ""},
    {"BroadcastReadOfOtherRegisterSilent", 1, "00 03 00 0F 00 01 B5 D8", ""},
    // Answered.
    {"BroadcastReadOfAddress", 5, "00 03 00 12 00 01 25 DE", "05 03 02 00 05 89 87"},
    {"AddressedReadOfAddress", 1, "01 03 00 12 00 01 24 0F", "01 03 02 00 01 79 84"},
    {"Voltage", 1, kAskVolts, kVolts},
    {"ResistanceBeforeAnyMeasurement", 1, "01 03 00 0D 00 02 55 C8", "01 03 04 00 00 00 00 FA 33"},
    {"ThreeRegistersInOneRead", 1, "01 03 00 0D 00 03 94 08", "01 03 06 00 00 00 00 00 DC 20 EC"},
    {"WholeMap", 1, "01 03 00 0D 00 06 54 0B",
     "01 03 0C 00 00 00 00 00 DC 00 00 00 00 00 01 4F 7D"},
    {"ConfirmingWriteEchoed", 7, "07 06 00 12 00 07 68 6B", "07 06 00 12 00 07 68 6B"},
    {"StartEchoed", 1, "01 06 00 11 00 01 18 0F", "01 06 00 11 00 01 18 0F"},
    // Refused: a register out of the map, a function not known, a register that cannot be written.
    {"RegisterBeyondMap", 1, "01 03 00 20 00 01 85 C0", "01 83 02 C0 F1"},
    {"RegisterBeforeMap", 1, "01 03 00 0C 00 01 44 09", "01 83 02 C0 F1"},
    {"ReadRunningPastMap", 1, "01 03 00 0D 00 07 95 CB", "01 83 02 C0 F1"},
    {"ReadOfNoRegister", 1, "01 03 00 0F 00 00 75 C9", "01 83 03 01 31"},
    {"UnknownFunction", 1, "01 04 00 0D 00 01 A0 09", "01 84 01 82 C0"},
    {"ShortFrameOfUnknownFunction", 1, "01 11 C0 2C", "01 91 01 8C 50"},
    {"WriteToReadOnlyRegister", 1, "01 06 00 0F 00 05 79 CA", "01 86 02 C3 A1"},
    {"AddressOutOfRange", 1, "01 06 00 12 01 00 28 5F", "01 86 03 02 61"}};

INSTANTIATE_TEST_SUITE_P(Requests, RequestTest, ::testing::ValuesIn(kRequests), test::CaseName{});

TEST(SimulatedDetector, TakesBroadcastAddressSilentlyAndAnswersAtTheNewOne) {
  Bench bench;
  EXPECT_TRUE(bench.Ask("00 06 00 12 00 07 69 DC").empty());
  EXPECT_EQ(bench.detector.Address(), 7);
  EXPECT_TRUE(bench.Ask(kAskVolts).empty());
  EXPECT_EQ(bench.Ask("07 06 00 12 00 07 68 6B"), Hex("07 06 00 12 00 07 68 6B"));
  // An addressed write moves it again; the echo still comes from the address it was sent to.
  EXPECT_EQ(bench.Ask("07 06 00 12 00 01 E8 69"), Hex("07 06 00 12 00 01 E8 69"));
  EXPECT_EQ(bench.detector.Address(), 1);
}

TEST(SimulatedDetector, ResultAppearsOnlyWhenTheMeasurementIsOver) {
  Bench bench(DetectorConfig{.measurementTime = 300ms});
  EXPECT_EQ(bench.Ask("01 06 00 11 00 01 18 0F"), Hex("01 06 00 11 00 01 18 0F"));
  const auto started = bench.detector.Exchanges().back().requestLastByte;
  EXPECT_EQ(bench.Ask("01 03 00 0D 00 02 55 C8"), Hex("01 03 04 00 00 00 00 FA 33"));
  EXPECT_EQ(bench.Ask("01 03 00 11 00 01 D4 0F"), Hex("01 03 02 00 01 79 84"));  // running

  std::this_thread::sleep_until(started + 350ms);
  EXPECT_EQ(bench.Ask("01 03 00 0D 00 02 55 C8"), Hex("01 03 04 01 59 00 01 EA 1C"));
  EXPECT_EQ(bench.Ask("01 03 00 11 00 01 D4 0F"), Hex("01 03 02 00 00 B8 44"));

  // A new reading shows only after the next measurement.
  bench.detector.SetResistance(12345, 2, 2);
  bench.detector.SetMeasurementTime(0ms);
  EXPECT_EQ(bench.Ask("01 03 00 0D 00 02 55 C8"), Hex("01 03 04 01 59 00 01 EA 1C"));
  bench.Ask("01 06 00 11 00 01 18 0F");
  EXPECT_EQ(bench.Ask("01 03 00 0D 00 02 55 C8"), Hex("01 03 04 30 39 02 02 A5 9F"));
}

TEST(SimulatedDetector, IgnoresBadCrcAndFindsTheNextRequest) {
  Bench bench;
  // Wrong CRC: no answer, nothing logged, the bytes dropped.
  ASSERT_TRUE(bench.port.Write(Hex("01 03 00 0F 00 01 B4 0A")));
  EXPECT_TRUE(bench.port.Read(100ms, 10ms).bytes.empty());
  EXPECT_EQ(bench.detector.ExchangeCount(), 0U);
  EXPECT_EQ(bench.detector.DroppedBytes(), 8U);

  // Noise before a request, and two requests back to back, in one write.
  ASSERT_TRUE(bench.port.Write(Hex("FF 01 03 00 0F 00 01 B4 09 01 03 00 12 00 01 24 0F")));
  ASSERT_TRUE(bench.detector.WaitForExchanges(2, 2s));
  EXPECT_EQ(bench.port.Read(100ms, 30ms).bytes, Hex("01 03 02 00 DC B9 DD 01 03 02 00 01 79 84"));

  // A fragment that the line leaves alone is forgotten before the next request.
  ASSERT_TRUE(bench.port.Write(Hex("01 03 00")));
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(bench.Ask(kAskVolts), Hex(kVolts));
  EXPECT_EQ(bench.detector.DroppedBytes(), 12U);
}

struct FaultCase {
  const char* name;
  Fault fault;
  const char* reply;
};

class FaultTest : public ::testing::TestWithParam<FaultCase> {};

TEST_P(FaultTest, SpoilsTheNextReplyOnly) {
  const FaultCase& c = GetParam();
  Bench bench;
  bench.detector.SetFault(c.fault, 1);
  // A broadcast draws no reply, so it does not use the fault up.
  EXPECT_TRUE(bench.Ask("00 06 00 12 00 01 E9 DE").empty());
  EXPECT_EQ(bench.Ask(kAskVolts), Hex(c.reply));
  EXPECT_EQ(bench.Ask(kAskVolts), Hex(kVolts));
}

const FaultCase kFaults[] = {
    {"NoReply", Fault::NoReply(), ""},
    {"BadCrc", Fault::BadCrc(), "01 03 02 00 DC 46 22"},
    {"Truncate", Fault::Truncate(2), "01 03 02 00 DC"},
    {"Exception", Fault::Exception(4), "01 83 04 40 F3"},
    {"FromAddress", Fault::FromAddress(6), "06 03 02 00 DC 0C 1D"},
    {"Extra", Fault::Extra({0xAA, 0xBB}), "01 03 02 00 DC B9 DD AA BB"},
    {"Twice", Fault::Twice(), "01 03 02 00 DC B9 DD 01 03 02 00 DC B9 DD"},
    {"Split", Fault::Split({3, 2}, 10ms), kVolts},
    {"Delay", Fault::Delay(60ms), kVolts},
    {"Stray", Fault::Stray({0x00}), "00 01 03 02 00 DC B9 DD"},
    {"StrayBeforeABadCrc", Fault::BadCrc().WithStray({0x00, 0xFF}), "00 FF 01 03 02 00 DC 46 22"},
    {"StrayBeforeAnotherAddress", Fault::FromAddress(6).WithStray({0x00}),
     "00 06 03 02 00 DC 0C 1D"},
    {"StrayWithNoReply", Fault::NoReply().WithStray({0x00}), "00"},
    {"PauseAfterTheHead", Fault::PauseAfter(2, 60ms), kVolts},
    {"NoiseAfter", Fault::NoiseAfter({0xA5, 0xA5, 0xA5}, 10ms), "01 03 02 00 DC B9 DD A5 A5 A5"},
    {"HeadOfAnotherReplyAfter", Fault::NoiseAfter({1, 3, 2}, 10ms),
     "01 03 02 00 DC B9 DD 01 03 02"},
    {"Trickle", Fault::Trickle(), kVolts},
    {"StrayBeforeATrickle", Fault::Trickle().WithStray({0x00}), "00 01 03 02 00 DC B9 DD"}};

INSTANTIATE_TEST_SUITE_P(Faults, FaultTest, ::testing::ValuesIn(kFaults), test::CaseName{});

// The log never lags the line: the exchange is logged before its reply goes out, and each piece
// of the reply is in it, with a time no later than a reader gets it, before the piece is written.
// The exchange counts as finished once the whole reply is out.
TEST(SimulatedDetector, LogsEachPieceOfAReplyBeforeWritingIt) {
  Bench bench;
  // A reply held back: the exchange is logged with nothing sent yet.
  bench.detector.SetFault(Fault::Delay(300ms), 1);
  ASSERT_TRUE(bench.port.Write(Hex(kAskVolts)));
  for (int i = 0; i < 200 && bench.detector.ExchangeCount() == 0; ++i) {
    std::this_thread::sleep_for(1ms);
  }
  std::vector<Exchange> log = bench.detector.Exchanges();
  ASSERT_EQ(log.size(), 1U);
  EXPECT_TRUE(log[0].reply.empty());
  EXPECT_FALSE(log[0].finished);
  EXPECT_FALSE(bench.detector.WaitForExchanges(1, 0ms));
  EXPECT_EQ(bench.port.Read(2s, 30ms).bytes, Hex(kVolts));

  // A reply in two pieces: the head read, the rest still 200 ms away.
  ASSERT_TRUE(bench.detector.WaitForExchanges(1, 2s));
  bench.detector.SetFault(Fault::PauseAfter(3, 200ms), 1);
  ASSERT_TRUE(bench.port.Write(Hex(kAskVolts)));
  const Received head = bench.port.Read(2s, 50ms);
  ASSERT_EQ(head.bytes, Hex("01 03 02"));
  log = bench.detector.Exchanges();
  ASSERT_EQ(log.size(), 2U);
  EXPECT_EQ(log[1].reply, Hex("01 03 02"));
  EXPECT_FALSE(log[1].finished);
  EXPECT_LE(log[1].replyLastByte, head.times.back());
  EXPECT_FALSE(bench.detector.WaitForExchanges(2, 0ms));

  const Received rest = bench.port.Read(2s, 30ms);
  EXPECT_EQ(rest.bytes, Hex("00 DC B9 DD"));
  EXPECT_EQ(bench.detector.Exchanges()[1].reply, Hex(kVolts));
  ASSERT_TRUE(bench.detector.WaitForExchanges(2, 2s));
  const Exchange done = bench.detector.Exchanges()[1];
  EXPECT_TRUE(done.finished);
  EXPECT_LE(done.replyFirstByte, head.times.front());
  EXPECT_LE(done.replyLastByte, rest.times.back());
  EXPECT_GE(done.replyLastByte - done.replyFirstByte, 200ms);
}

// Read as soon as it comes, every reply is already in the log, whole, its first and last bytes
// stamped no later than the reader got them: written at once and paced at the byte time.
TEST(SimulatedDetector, NeverStampsAReplyByteAfterAReaderHasIt) {
  Bench bench;
  for (int i = 0; i < 60; ++i) {
    const bool paced = i % 2 == 1;
    SCOPED_TRACE(std::to_string(i) + (paced ? ", paced" : ", at once"));
    bench.detector.SetPacing(paced);
    ASSERT_TRUE(bench.port.Write(Hex(kAskVolts)));
    const Received got = bench.ReadAtLeast(7);
    ASSERT_GE(got.bytes.size(), 7U);
    const std::vector<Exchange> log = bench.detector.Exchanges();
    ASSERT_EQ(log.size(), static_cast<std::size_t>(i + 1));
    EXPECT_EQ(log.back().reply, got.bytes);
    EXPECT_LE(log.back().replyFirstByte, got.times.front());
    EXPECT_LE(log.back().replyLastByte, got.times.back());
    ASSERT_TRUE(bench.detector.WaitForExchanges(log.size(), 2s));
  }
}

// Where the stray bytes and the pauses stand: the split's cut counts the stray byte, the pause
// comes after the head, the noise after the whole reply, a delay before it and a second copy after
// it, a trickle writes each byte by itself. Timings are taken from the detector's own log: a
// reader's clock shows when it got round to reading, which on a loaded machine can be well after.
TEST(SimulatedDetector, PutsStrayBytesPausesAndNoiseWhereTold) {
  Bench bench(DetectorConfig{.address = 200});
  const std::string voltage = "C8 03 00 0F 00 01 A5 90";
  const auto reply = Hex("C8 03 02 00 DC 65 CD");
  const struct {
    const char* name;
    Fault fault;
    std::vector<Piece> pieces;  // what the reply goes out in
  } cases[] = {
      {"stray 00, cut after 5, 16 ms",
       Fault::Split({5}, 16ms).WithStray({0x00}),
       {{0ms, Hex("00 C8 03 02 00")}, {16ms, Hex("DC 65 CD")}}},
      {"60 ms after the head",
       Fault::PauseAfter(2, 60ms),
       {{0ms, Hex("C8 03")}, {60ms, Hex("02 00 DC 65 CD")}}},
      {"A5 A5 A5 30 ms after",
       Fault::NoiseAfter({0xA5, 0xA5, 0xA5}, 30ms),
       {{0ms, reply}, {30ms, Hex("A5 A5 A5")}}},
      {"100 ms late", Fault::Delay(100ms), {{100ms, reply}}},
      {"twice, 30 ms apart", Fault::Twice(30ms), {{0ms, reply}, {30ms, reply}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::uint8_t> joined;
    std::chrono::nanoseconds gap{0};  // at least this between the first piece and the last
    const auto pieces = Spoil(c.fault, reply, 0x03);
    ASSERT_EQ(pieces.size(), c.pieces.size());
    for (std::size_t i = 0; i < pieces.size(); ++i) {
      EXPECT_EQ(pieces[i].bytes, c.pieces[i].bytes);
      EXPECT_EQ(pieces[i].pauseBefore, c.pieces[i].pauseBefore);
      joined.insert(joined.end(), c.pieces[i].bytes.begin(), c.pieces[i].bytes.end());
      if (i > 0) gap += c.pieces[i].pauseBefore;
    }
    // On the line: those bytes, each piece at least its pause after the one before, by the
    // detector's own clock. (A reader on a busy machine may get both pieces in one read.)
    bench.detector.SetFault(c.fault, 1);
    const std::size_t before = bench.detector.ExchangeCount();
    ASSERT_TRUE(bench.port.Write(Hex(voltage)));
    EXPECT_EQ(bench.ReadAtLeast(joined.size()).bytes, joined);
    ASSERT_TRUE(bench.detector.WaitForExchanges(before + 1, 2s));
    EXPECT_TRUE(bench.port.Read(50ms, 10ms).bytes.empty());
    const Exchange e = bench.detector.Exchanges().back();
    EXPECT_EQ(e.reply, joined);
    EXPECT_GE(e.replyFirstByte - e.requestLastByte, c.pieces[0].pauseBefore);
    EXPECT_GE(e.replyLastByte - e.replyFirstByte, gap);
  }
  // A trickle takes a byte time per byte: seven bytes, six byte times from the first to the last.
  bench.detector.SetFault(Fault::Trickle().WithStray({0x00}), 1);
  ASSERT_TRUE(bench.Send(voltage));
  const Exchange trickled = bench.detector.Exchanges().back();
  EXPECT_EQ(trickled.reply, Hex("00 C8 03 02 00 DC 65 CD"));
  EXPECT_GE(trickled.replyLastByte - trickled.replyFirstByte, 7 * kByteTime);
  EXPECT_EQ(bench.port.Read(200ms, 30ms).bytes, Hex("00 C8 03 02 00 DC 65 CD"));
}

// The echoing line gives back every request, broadcasts and other slaves' requests included,
// before the detector's reply; with no detector on it, the echo alone comes.
TEST(SimulatedDetector, AnEchoingLineGivesEveryRequestBackBeforeTheReply) {
  Bench bench(DetectorConfig{.echo = true});
  // Each request and what the tool hears after it.
  const std::pair<const char*, const char*> withDetector[] = {
      {"00 06 00 12 00 03 68 1F", "00 06 00 12 00 03 68 1F"},
      {"03 06 00 12 00 03 68 2C", "03 06 00 12 00 03 68 2C 03 06 00 12 00 03 68 2C"},
      {"03 03 00 0F 00 01 B5 EB", "03 03 00 0F 00 01 B5 EB 03 03 02 00 DC C0 1D"},
      {"02 03 00 0F 00 01 B4 3A", "02 03 00 0F 00 01 B4 3A"},
  };
  // What the tool hears for each request; an adapter may put a stray byte before each echo.
  const auto hears = [&](Bench& line, const std::string& stray) {
    for (const auto& [request, heard] : withDetector) {
      SCOPED_TRACE(request);
      ASSERT_TRUE(line.Send(request));
      EXPECT_EQ(line.port.Read(200ms, 30ms).bytes, Hex(stray + heard));
    }
  };
  hears(bench, "");
  EXPECT_EQ(bench.detector.Address(), 3);
  EXPECT_EQ(bench.detector.EchoedBytes(), 4U * 8);

  Bench stray(DetectorConfig{.echo = true, .strayBeforeEcho = 0xA5});
  hears(stray, "A5 ");

  bench.detector.SetPresent(false);
  ASSERT_TRUE(bench.Send("03 06 00 12 00 05 E8 2E"));
  EXPECT_EQ(bench.port.Read(200ms, 30ms).bytes, Hex("03 06 00 12 00 05 E8 2E"));
  EXPECT_EQ(bench.detector.Address(), 3);  // nobody took the write
  EXPECT_TRUE(bench.detector.Exchanges().back().reply.empty());

  bench.detector.SetEcho(false);
  ASSERT_TRUE(bench.port.Write(Hex("03 03 00 0F 00 01 B5 EB")));
  EXPECT_TRUE(bench.port.Read(150ms, 30ms).bytes.empty());
}

TEST(SimulatedDetector, PersistentFaultHoldsUntilCleared) {
  Bench bench;
  bench.detector.SetFault(Fault::NoReply());
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(bench.Ask(kAskVolts).empty());
  bench.detector.ClearFault();
  EXPECT_EQ(bench.Ask(kAskVolts), Hex(kVolts));
  bench.detector.SetFault(Fault::BadCrc(), 2);
  for (const char* reply : {"01 03 02 00 DC 46 22", "01 03 02 00 DC 46 22", kVolts}) {
    EXPECT_EQ(bench.Ask(kAskVolts), Hex(reply));
  }
}

TEST(SimulatedDetector, PacingSpreadsTheReplyAtTheByteTime) {
  Bench bench(DetectorConfig{.resistance = 0, .pacing = true});
  EXPECT_EQ(bench.Ask("01 03 00 0D 00 02 55 C8"), Hex("01 03 04 00 00 00 00 FA 33"));
  const Exchange paced = bench.detector.Exchanges().back();
  // Eight byte times (8.3 ms) between the first and the last byte.
  EXPECT_GE(paced.replyLastByte - paced.replyFirstByte, 8ms);
  EXPECT_LE(paced.requestFirstByte, paced.requestLastByte);
  EXPECT_LE(paced.requestLastByte, paced.replyFirstByte);

  bench.detector.SetPacing(false);
  bench.Ask("01 03 00 0D 00 02 55 C8");
  const Exchange whole = bench.detector.Exchanges().back();
  EXPECT_EQ(whole.replyFirstByte, whole.replyLastByte);  // one write
}

TEST(SimulatedDetector, UnplugLeavesTheSlaveSideWithNoLine) {
  Bench bench;
  bench.detector.Unplug();
  pollfd p{bench.port.Fd(), POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 1000), 1);
  EXPECT_TRUE(p.revents & POLLHUP);
  std::uint8_t byte = 0;
  EXPECT_LE(read(bench.port.Fd(), &byte, 1), 0);
  EXPECT_EQ(access(bench.detector.SlavePath().c_str(), F_OK), -1);  // the device is gone
}

// The number of a pulled terminal stays taken while its pair lives: new pairs, each taking the
// lowest free number, pass it by.
TEST(PtyPair, APulledPairKeepsItsNumberUntilItIsGone) {
  const auto number = [](const PtyPair& pair) {
    return std::stoi(pair.SlavePath().substr(pair.SlavePath().rfind('/') + 1));
  };
  PtyPair pulled;
  pulled.CloseMaster();
  std::vector<std::unique_ptr<PtyPair>> later;
  while (later.size() < 200 && (later.empty() || number(*later.back()) <= number(pulled))) {
    later.push_back(std::make_unique<PtyPair>());
    EXPECT_NE(later.back()->SlavePath(), pulled.SlavePath());
  }
  EXPECT_GT(number(*later.back()), number(pulled));
}

TEST(SimulatedDetector, StopsAtOnceEvenInTheMiddleOfAReply) {
  const auto start = std::chrono::steady_clock::now();
  {
    Bench bench;
    bench.detector.SetFault(Fault::Delay(10s));
    bench.port.Write(Hex(kAskVolts));
    std::this_thread::sleep_for(20ms);
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
}

}  // namespace
}  // namespace karvello::sim
