// The four operations from the button to the report, over two lines: the in-memory line with the
// test playing the detector, and the QSerialPort line on a pseudo-terminal with the simulated
// detector. The same cases run over both. The measurement's 19 s are ticked through by hand; on
// the pseudo-terminal the set-address delay and the reply time-outs run in real time.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "framing/crc16.h"
#include "framing/frame_text.h"
#include "framing/registers.h"
#include "operations/operations.h"
#include "serial/fake_serial_line.h"
#include "serial/qt_serial_line.h"
#include "sim/simulated_detector.h"
#include "support/event_loop.h"
#include "support/hex_bytes.h"
#include "support/recording_texts.h"

namespace karvello {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using sim::DetectorConfig;
using sim::Fault;
using sim::SimulatedDetector;
using testing::Hex;
using testing::LogRecordingTexts;
using testing::RunFor;
using testing::RunUntil;
using SteadyClock = std::chrono::steady_clock;

double SecondsSince(SteadyClock::time_point start) {
  return std::chrono::duration<double>(SteadyClock::now() - start).count();
}

// The log's report texts, lines joined by CR LF.
std::string Lines(std::initializer_list<std::string> lines) {
  std::string out;
  for (const std::string& line : lines) out += (out.empty() ? "" : "\r\n") + line;
  return out;
}
std::string SetReport(const std::string& broadcast, const std::string& confirmation,
                      const std::string& echo) {
  return Lines({"设置成功！", "发送1：" + broadcast, "发送2：" + confirmation, "接收 ：" + echo});
}
std::string AddressReport(const std::string& reply, int address) {
  return Lines({"查询成功！", "发送：00 03 00 12 00 01 25 DE", "接收：" + reply,
                "地址：" + std::to_string(address)});
}
std::string VoltageReport(const std::string& request, const std::string& reply, int volts) {
  return Lines({"查询成功！", "发送：" + request, "接收：" + reply,
                "电压 = " + std::to_string(volts) + "伏"});
}
std::string ResistanceReport(const std::string& start, const std::string& read,
                             const std::string& reply, const std::string& ohms) {
  return Lines({"查询成功！", "发送1：" + start, "发送2：" + read, "接收 ：" + reply,
                "电阻 = " + ohms + "欧姆"});
}

// The detector's side of the in-memory line, played by the test: what a detector with `config`
// answers (broadcasts unanswered but for the read of the address; a write echoed; reads of the
// resistance, the voltage and the address), its address moved by a write of it.
class PlayedDetector {
 public:
  explicit PlayedDetector(DetectorConfig config) : config_(config) {}

  std::optional<Bytes> Answer(const Bytes& request) {
    if (!config_.present || request.size() != 8 || !HasValidCrc(request)) return std::nullopt;
    const std::uint8_t slave = request[0];
    const bool broadcast = slave == reg::kBroadcastAddress;
    if (!broadcast && slave != config_.address) return std::nullopt;
    const int registerNumber = request[2] << 8 | request[3];
    const int value = request[4] << 8 | request[5];
    if (request[1] == reg::kFnWriteSingleRegister) {
      if (registerNumber == reg::kBusAddress) config_.address = static_cast<std::uint8_t>(value);
      if (broadcast) return std::nullopt;
      return request;
    }
    if (broadcast && registerNumber != reg::kBusAddress) return std::nullopt;
    Bytes reply{config_.address, reg::kFnReadHoldingRegisters,
                static_cast<std::uint8_t>(2 * value)};
    auto add = [&](int word) {
      reply.push_back(static_cast<std::uint8_t>(word >> 8));
      reply.push_back(static_cast<std::uint8_t>(word & 0xFF));
    };
    if (registerNumber == reg::kResistance) {
      add(config_.resistance);
      add(config_.decimalHigh << 8 | config_.decimalCount);
    } else if (registerNumber == reg::kVoltage) {
      add(config_.voltage);
    } else {
      add(config_.address);
    }
    const std::uint16_t crc = Crc16(reply);
    reply.push_back(static_cast<std::uint8_t>(crc & 0xFF));
    reply.push_back(static_cast<std::uint8_t>(crc >> 8));
    return reply;
  }
  std::uint8_t Address() const { return config_.address; }
  bool Echoes() const { return config_.echo; }

 private:
  DetectorConfig config_;
};

// One line with a detector on it, as the operations see it.
class Rig {
 public:
  virtual ~Rig() = default;
  virtual SerialLine& Line() = 0;
  // Every request the tool wrote, in order.
  virtual const std::vector<Bytes>& Written() const = 0;
  // The next reply goes wrong by `fault`.
  virtual void SetFault(const Fault& fault) = 0;
  // The detector takes every request written so far, and its answer arrives.
  virtual void Serve() = 0;
  // The countdown runs until it stops: by hand where it may, in real time where it must.
  virtual void RunOut(Operations& ops, Clock clock) = 0;
  // What follows the outcome (noise after a reply) has come and been judged.
  virtual void Settle() = 0;
  virtual std::uint8_t DetectorAddress() const = 0;
  virtual bool RealTime() const = 0;
  // What the detector's side saw, for a failure message.
  virtual std::string Describe() const { return {}; }
};

void TickUntilStopped(Countdown& countdown) {
  for (int tick = 0; countdown.IsRunning() && tick <= countdown.Limit() + 1; ++tick) {
    countdown.Tick();
  }
}

// The in-memory line: the test hands each answer over at once, in the pieces the simulator would
// send it in; a pause that the line would notice (the gap) is the line falling silent.
class FakeRig : public Rig {
 public:
  explicit FakeRig(DetectorConfig config) : detector_(config) { line_.Open(1); }
  SerialLine& Line() override { return line_; }
  const std::vector<Bytes>& Written() const override { return line_.Written(); }
  void SetFault(const Fault& fault) override {
    fault_ = fault;
    faulty_ = fault.kind != Fault::Kind::kNone;
  }
  void Serve() override {
    for (; served_ < line_.Written().size(); ++served_) {
      const Bytes request = line_.Written()[served_];
      if (detector_.Echoes()) line_.Receive(request);
      auto reply = detector_.Answer(request);
      if (!reply) continue;
      std::vector<SimulatedDetector::Piece> pieces{{{}, *reply}};
      if (faulty_) pieces = SimulatedDetector::Spoil(fault_, *reply, request[1]);
      faulty_ = false;
      for (const auto& piece : pieces) {
        if (piece.pauseBefore >= kFrameGap) line_.FallSilent();
        line_.Receive(piece.bytes);
      }
    }
    line_.FallSilent();
  }
  void RunOut(Operations& ops, Clock clock) override { TickUntilStopped(ops.CountdownOf(clock)); }
  void Settle() override { line_.FallSilent(); }
  std::uint8_t DetectorAddress() const override { return detector_.Address(); }
  bool RealTime() const override { return false; }

 private:
  FakeSerialLine line_;
  PlayedDetector detector_;
  Fault fault_;
  bool faulty_ = false;
  std::size_t served_ = 0;
};

// The QSerialPort line, keeping what it writes.
class RecordingQtLine : public QtSerialLine {
 public:
  using QtSerialLine::QtSerialLine;
  std::vector<Bytes> written;

 protected:
  bool Write(std::span<const std::uint8_t> bytes) override {
    written.emplace_back(bytes.begin(), bytes.end());
    return QtSerialLine::Write(bytes);
  }
};

// The pseudo-terminal with the simulated detector on COM1, the port open.
class PtyRig : public Rig {
 public:
  explicit PtyRig(DetectorConfig config) : detector_(config), line_(map_) {
    map_.Set(1, detector_.SlavePath());
    EXPECT_TRUE(line_.Open(1)) << detector_.SlavePath();
  }
  SerialLine& Line() override { return line_; }
  const std::vector<Bytes>& Written() const override { return line_.written; }
  void SetFault(const Fault& fault) override { detector_.SetFault(fault, 1); }
  void Serve() override {
    // The detector logs each request once it has written its answer.
    RunUntil([&] { return detector_.ExchangeCount() >= line_.written.size(); }, 5s);
  }
  void RunOut(Operations& ops, Clock clock) override {
    Countdown& countdown = ops.CountdownOf(clock);
    if (clock == Clock::kMeasureDelay) {
      TickUntilStopped(countdown);
    } else {
      RunUntil([&] { return !countdown.IsRunning(); }, 5s);
    }
  }
  void Settle() override {
    Serve();
    RunFor(kFrameGap + 150ms);  // the line's own gap, which no test can tick
  }
  std::uint8_t DetectorAddress() const override { return detector_.Address(); }
  bool RealTime() const override { return true; }
  SimulatedDetector& Detector() { return detector_; }
  std::string Describe() const override {
    std::string out = "detector on " + detector_.SlavePath() + ", echoed " +
                      std::to_string(detector_.EchoedBytes()) + " bytes, dropped " +
                      std::to_string(detector_.DroppedBytes()) + ":";
    for (const auto& e : detector_.Exchanges()) {
      out += "\n  took " + FormatFrameText(e.request, e.request.size()) + ", sent " +
             FormatFrameText(e.reply, e.reply.size());
    }
    return out;
  }

 private:
  SimulatedDetector detector_;
  FixedPortMap map_;
  RecordingQtLine line_;
};

enum class LineKind { kInMemory, kPseudoTerminal };

std::unique_ptr<Rig> MakeRig(LineKind kind, DetectorConfig config) {
  if (kind == LineKind::kInMemory) return std::make_unique<FakeRig>(config);
  return std::make_unique<PtyRig>(config);
}

using Press = void (Operations::*)();

struct Case {
  const char* name = "";
  DetectorConfig detector{};
  Press press = nullptr;
  std::string box{};
  Fault fault{};                       // on the reply the operation waits for
  std::vector<std::string> written{};  // every log text from the press on, in order
  bool timesOut = false;               // the outcome comes at the reply's time-out
  std::optional<std::string> boxDuringDelay{};
  std::string before{};               // the log text before the press
  std::optional<int> addressAfter{};  // the detector's address afterwards
  std::optional<std::string> boxAfter{};
  int sends = -1;  // requests written; -1: as many as the operation has
};

void PrintTo(const Case& c, std::ostream* os) {
  *os << c.name;
}

constexpr DetectorConfig At(std::uint8_t address) {
  return {.address = address, .measurementTime = 0ms};
}

const std::string kVoltage1 = VoltageReport("01 03 00 0F 00 01 B4 09", "01 03 02 00 DC B9 DD", 220);
const std::string kResistance1 = ResistanceReport(
    "01 06 00 11 00 01 18 0F", "01 03 00 0D 00 02 55 C8", "01 03 04 01 59 00 01 EA 1C", " 34.5");
const std::string kSet3 =
    SetReport("00 06 00 12 00 03 68 1F", "03 06 00 12 00 03 68 2C", "03 06 00 12 00 03 68 2C");
const std::string kSet6 =
    SetReport("00 06 00 12 00 06 A8 1C", "06 06 00 12 00 06 A8 7A", "06 06 00 12 00 06 A8 7A");
const std::string kVoltage5Old =
    VoltageReport("05 03 00 0F 00 01 B5 8D", "05 03 02 00 DC 48 1D", 220);
const std::string kVoltage5 = VoltageReport("05 03 00 0F 00 01 B5 8D", "05 03 02 00 E7 09 CE", 231);
const DetectorConfig kFiveAt231V{.address = 5, .voltage = 231, .measurementTime = 0ms};
const std::string kMeasuring = "测试中...";
const std::string kQueryFailed = "查询失败！";
const std::string kSetFailed = "设置失败！";

const Case kCases[] = {
    // Plain exchanges.
    {.name = "QueryAddress5",
     .detector = At(5),
     .press = &Operations::QueryAddress,
     .box = "(1-255)",
     .written = {AddressReport("05 03 02 00 05 89 87", 5)},
     .boxAfter = "5"},
    {.name = "QueryAddress255",
     .detector = At(255),
     .press = &Operations::QueryAddress,
     .box = "(1-255)",
     .written = {AddressReport("FF 03 02 00 FF D1 D0", 255)},
     .boxAfter = "255"},
    {.name = "SetAddress5",
     .detector = At(1),
     .press = &Operations::SetAddress,
     .box = "5",
     .written = {SetReport("00 06 00 12 00 05 E8 1D", "05 06 00 12 00 05 E8 48",
                           "05 06 00 12 00 05 E8 48")},
     .addressAfter = 5},
    {.name = "SetAddress200",
     .detector = At(1),
     .press = &Operations::SetAddress,
     .box = "200",
     .written = {SetReport("00 06 00 12 00 C8 29 88", "C8 06 00 12 00 C8 39 C0",
                           "C8 06 00 12 00 C8 39 C0")},
     .addressAfter = 200},
    {.name = "Voltage1",
     .detector = At(1),
     .press = &Operations::QueryVoltage,
     .box = "1",
     .written = {kVoltage1}},
    {.name = "Resistance1",
     .detector = At(1),
     .press = &Operations::QueryResistance,
     .box = "1",
     .written = {kMeasuring, kResistance1}},

    // A stray 00 in front of the echo of set address 3.
    {.name = "SetAddress3StrayByteBeforeTheEcho",
     .detector = At(1),
     .press = &Operations::SetAddress,
     .box = "3",
     .fault = Fault::Stray({0x00}),
     .written = {kSet3},
     .addressAfter = 3},
    // A stray 00 in front, the reply in two reads 16 ms apart, from addresses 0x80 and up.
    {.name = "Voltage200StrayByteAndTwoReads",
     .detector = At(200),
     .press = &Operations::QueryVoltage,
     .box = "200",
     .fault = Fault::Split({5}, 16ms).WithStray({0x00}),
     .written = {VoltageReport("C8 03 00 0F 00 01 A5 90", "C8 03 02 00 DC 65 CD", 220)}},
    {.name = "Voltage128StrayByteAndTwoReads",
     .detector = At(128),
     .press = &Operations::QueryVoltage,
     .box = "128",
     .fault = Fault::Split({5}, 16ms).WithStray({0x00}),
     .written = {VoltageReport("80 03 00 0F 00 01 AA 18", "80 03 02 00 DC 85 C3", 220)}},
    {.name = "Resistance200StrayByteAndTwoReads",
     .detector = At(200),
     .press = &Operations::QueryResistance,
     .box = "200",
     .fault = Fault::Split({5}, 16ms).WithStray({0x00}),
     .written = {kMeasuring, ResistanceReport("C8 06 00 11 00 01 09 96", "C8 03 00 0D 00 02 44 51",
                                              "C8 03 04 01 59 00 01 B3 10", " 34.5")}},
    // Noise within 50 ms after a good reply leaves its report alone.
    {.name = "VoltageThenNoiseA5",
     .detector = At(1),
     .press = &Operations::QueryVoltage,
     .box = "1",
     .fault = Fault::NoiseAfter({0xA5, 0xA5, 0xA5}, 10ms),
     .written = {kVoltage1}},
    {.name = "VoltageThenTheHeadOfAnotherReply",
     .detector = At(1),
     .press = &Operations::QueryVoltage,
     .box = "1",
     .fault = Fault::NoiseAfter({0x01, 0x03, 0x02}, 10ms),
     .written = {kVoltage1}},
    // A pause longer than the gap inside the reply, after its head.
    {.name = "VoltagePaused60msAfterItsHead",
     .detector = At(1),
     .press = &Operations::QueryVoltage,
     .box = "1",
     .fault = Fault::PauseAfter(2, 60ms),
     .written = {kVoltage1}},
    // A stray 00 in front of a reply that trickles in a byte at a time.
    {.name = "SetAddress3StrayByteBeforeATrickle",
     .detector = At(1),
     .press = &Operations::SetAddress,
     .box = "3",
     .fault = Fault::Trickle().WithStray({0x00}),
     .written = {kSet3},
     .addressAfter = 3},
    {.name = "SetAddress6StrayByteBeforeATrickle",
     .detector = At(1),
     .press = &Operations::SetAddress,
     .box = "6",
     .fault = Fault::Trickle().WithStray({0x00}),
     .written = {kSet6},
     .addressAfter = 6},
    {.name = "Resistance3StrayByteBeforeATrickle",
     .detector = At(3),
     .press = &Operations::QueryResistance,
     .box = "3",
     .fault = Fault::Trickle().WithStray({0x00}),
     .written = {kMeasuring, ResistanceReport("03 06 00 11 00 01 19 ED", "03 03 00 0D 00 02 54 2A",
                                              "03 03 04 01 59 00 01 C9 DC", " 34.5")}},
    {.name = "Resistance6StrayByteBeforeATrickle",
     .detector = At(6),
     .press = &Operations::QueryResistance,
     .box = "6",
     .fault = Fault::Trickle().WithStray({0x00}),
     .written = {kMeasuring, ResistanceReport("06 06 00 11 00 01 19 B8", "06 03 00 0D 00 02 54 7F",
                                              "06 03 04 01 59 00 01 9C DC", " 34.5")}},
    // Address box texts that read as 5: the report for slave 5 replaces the old one.
    {.name = "VoltageBoxPlus5",
     .detector = kFiveAt231V,
     .press = &Operations::QueryVoltage,
     .box = "+5",
     .written = {kVoltage5},
     .before = kVoltage5Old},
    {.name = "VoltageBox5Point0",
     .detector = kFiveAt231V,
     .press = &Operations::QueryVoltage,
     .box = "5.0",
     .written = {kVoltage5},
     .before = kVoltage5Old},
    {.name = "VoltageBox5Point",
     .detector = kFiveAt231V,
     .press = &Operations::QueryVoltage,
     .box = "5.",
     .written = {kVoltage5},
     .before = kVoltage5Old},
    {.name = "VoltageBox5Newline7",
     .detector = kFiveAt231V,
     .press = &Operations::QueryVoltage,
     .box = "5\n7",
     .written = {kVoltage5},
     .before = kVoltage5Old},
    // An adapter that hears itself: its echo alone never makes a success.
    {.name = "SetAddressOnAnEchoingLineWithNoDetector",
     .detector = {.echo = true, .present = false},
     .press = &Operations::SetAddress,
     .box = "3",
     .written = {kSetFailed},
     .timesOut = true},
    {.name = "SetAddressOnAnEchoingLineWithADetector",
     .detector = {.address = 1, .echo = true},
     .press = &Operations::SetAddress,
     .box = "3",
     .written = {kSet3},
     .addressAfter = 3},
    {.name = "VoltageOnAnEchoingLine",
     .detector = {.address = 1, .echo = true},
     .press = &Operations::QueryVoltage,
     .box = "1",
     .written = {kVoltage1}},
    {.name = "QueryAddressOnAnEchoingLine",
     .detector = {.address = 5, .echo = true},
     .press = &Operations::QueryAddress,
     .box = "(1-255)",
     .written = {AddressReport("05 03 02 00 05 89 87", 5)},
     .boxAfter = "5"},
    // The box edited during the delay changes nothing of the operation pressed.
    {.name = "ResistanceBoxEditedDuringTheMeasurement",
     .detector = At(1),
     .press = &Operations::QueryResistance,
     .box = "1",
     .written = {kMeasuring, kResistance1},
     .boxDuringDelay = "2"},
    {.name = "SetAddressBoxEditedBeforeTheConfirmation",
     .detector = At(1),
     .press = &Operations::SetAddress,
     .box = "3",
     .written = {kSet3},
     .boxDuringDelay = "9",
     .addressAfter = 3},
    // Wrong replies: the failure text, at once or after the gap.
    {.name = "VoltageWrongCrc",
     .detector = At(1),
     .press = &Operations::QueryVoltage,
     .box = "1",
     .fault = Fault::BadCrc(),
     .written = {kQueryFailed}},
    {.name = "VoltageRefused",
     .detector = At(1),
     .press = &Operations::QueryVoltage,
     .box = "1",
     .fault = Fault::Exception(4),
     .written = {kQueryFailed}},
    {.name = "VoltageFromAnotherSlave",
     .detector = At(1),
     .press = &Operations::QueryVoltage,
     .box = "1",
     .fault = Fault::FromAddress(2),
     .written = {kQueryFailed}},
    {.name = "SetAddressWrongCrc",
     .detector = At(1),
     .press = &Operations::SetAddress,
     .box = "3",
     .fault = Fault::BadCrc(),
     .written = {kSetFailed},
     .addressAfter = 3},
    {.name = "SetAddressRefused",
     .detector = At(1),
     .press = &Operations::SetAddress,
     .box = "3",
     .fault = Fault::Exception(4),
     .written = {kSetFailed},
     .addressAfter = 3},
    {.name = "QueryAddressWrongCrc",
     .detector = At(1),
     .press = &Operations::QueryAddress,
     .box = "(1-255)",
     .fault = Fault::BadCrc(),
     .written = {kQueryFailed}},
    {.name = "ResistanceWrongCrc",
     .detector = At(1),
     .press = &Operations::QueryResistance,
     .box = "1",
     .fault = Fault::BadCrc(),
     .written = {kMeasuring, kQueryFailed}},
    // A reply cut short waits for its rest until the time-out.
    {.name = "VoltageCutShort",
     .detector = At(1),
     .press = &Operations::QueryVoltage,
     .box = "1",
     .fault = Fault::Truncate(2),
     .written = {kQueryFailed},
     .timesOut = true},
    // No answer at all.
    {.name = "VoltageNoDetector",
     .detector = {.present = false},
     .press = &Operations::QueryVoltage,
     .box = "1",
     .written = {kQueryFailed},
     .timesOut = true},
    {.name = "SetAddressNoDetector",
     .detector = {.present = false},
     .press = &Operations::SetAddress,
     .box = "3",
     .written = {kSetFailed},
     .timesOut = true},
    {.name = "QueryAddressNoDetector",
     .detector = {.present = false},
     .press = &Operations::QueryAddress,
     .box = "(1-255)",
     .written = {kQueryFailed},
     .timesOut = true},
    {.name = "ResistanceNoDetector",
     .detector = {.present = false},
     .press = &Operations::QueryResistance,
     .box = "1",
     .written = {kMeasuring, kQueryFailed},
     .timesOut = true},
    // Checks before sending: nothing goes out.
    {.name = "SetAddressBoxNotAWholeNumber",
     .detector = At(1),
     .press = &Operations::SetAddress,
     .box = "5.0",
     .written = {kSetFailed},
     .addressAfter = 1,
     .sends = 0},
    {.name = "SetAddressBox256",
     .detector = At(1),
     .press = &Operations::SetAddress,
     .box = "256",
     .written = {kSetFailed},
     .addressAfter = 1,
     .sends = 0},
    {.name = "ResistanceBoxWithoutANumber",
     .detector = At(1),
     .press = &Operations::QueryResistance,
     .box = "(1-255)",
     .written = {kQueryFailed},
     .sends = 0},
};

int RequestsOf(Press press) {
  return press == &Operations::SetAddress || press == &Operations::QueryResistance ? 2 : 1;
}

class OperationsOverBothLines : public ::testing::TestWithParam<std::tuple<LineKind, Case>> {
 protected:
  LineKind Kind() const { return std::get<0>(GetParam()); }
  const Case& TheCase() const { return std::get<1>(GetParam()); }
};

// The request lines ("发送：", "发送1：", "发送2：") of a report, their bytes as shown.
std::vector<std::string> RequestLines(const std::string& report) {
  std::vector<std::string> out;
  std::size_t at = 0;
  while (at < report.size()) {
    std::size_t end = report.find("\r\n", at);
    if (end == std::string::npos) end = report.size();
    const std::string line = report.substr(at, end - at);
    if (line.starts_with("发送")) out.push_back(line.substr(line.find("：") + 3));
    at = end + 2;
  }
  return out;
}

TEST_P(OperationsOverBothLines, GivesTheRightReport) {
  const Case& c = TheCase();
  std::unique_ptr<Rig> rig = MakeRig(Kind(), c.detector);
  ASSERT_TRUE(rig->Line().IsOpen());
  LogRecordingTexts texts;
  Operations ops(rig->Line(), texts);
  texts.SetAddressText(c.box);
  texts.SetLogText(c.before);
  texts.written.clear();

  const bool twoSteps = RequestsOf(c.press) == 2;
  if (!twoSteps) rig->SetFault(c.fault);
  (ops.*c.press)();
  // A two-request operation: its first request taken, then its delay.
  if (twoSteps && ops.Pending() && !StepOf(*ops.Pending()).awaitsReply) {
    const Clock delay = StepOf(*ops.Pending()).starts;
    rig->Serve();
    if (c.boxDuringDelay) texts.SetAddressText(*c.boxDuringDelay);
    rig->SetFault(c.fault);
    rig->RunOut(ops, delay);
  }
  // The request that awaits the reply: answered, or its time-out runs out.
  const auto sent = SteadyClock::now();
  rig->Serve();
  const Clock timeout = StepOf(*ops.Pending()).starts;
  bool timedOut = false;
  if (ops.CountdownOf(timeout).IsRunning()) {
    rig->RunOut(ops, timeout);
    timedOut = !rig->RealTime() || SecondsSince(sent) > 1.0;
  }
  rig->Settle();

  EXPECT_EQ(texts.written, c.written) << rig->Describe();
  EXPECT_EQ(timedOut, c.timesOut);
  for (Clock clock : {Clock::kSetDelay, Clock::kMeasureDelay, Clock::kSetTimeout,
                      Clock::kAddressTimeout, Clock::kResistanceTimeout, Clock::kVoltageTimeout}) {
    EXPECT_FALSE(ops.CountdownOf(clock).IsRunning());
  }
  const int sends = c.sends >= 0 ? c.sends : RequestsOf(c.press);
  ASSERT_EQ(rig->Written().size(), static_cast<std::size_t>(sends));
  // A report shows the requests as they were sent.
  const std::string& shown = texts.LogText();
  if (shown.find("成功") != std::string::npos) {
    std::vector<std::string> written;
    for (const Bytes& frame : rig->Written()) written.push_back(FormatFrameText(frame, 8));
    EXPECT_EQ(RequestLines(shown), written);
  }
  if (c.addressAfter) {
    EXPECT_EQ(rig->DetectorAddress(), *c.addressAfter);
  }
  EXPECT_EQ(texts.AddressText(), c.boxAfter.value_or(c.boxDuringDelay.value_or(c.box)));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, OperationsOverBothLines,
    ::testing::Combine(::testing::Values(LineKind::kInMemory, LineKind::kPseudoTerminal),
                       ::testing::ValuesIn(kCases)),
    [](const auto& info) {
      return std::string(std::get<0>(info.param) == LineKind::kInMemory ? "InMemory_" : "Pty_") +
             std::get<1>(info.param).name;
    });

// Timings that only a real line with real timers shows.
class OperationsOverPty : public ::testing::Test {
 protected:
  void Connect(DetectorConfig config) {
    ops_.reset();  // the operations let go of the old line before it goes
    rig_ = std::make_unique<PtyRig>(config);
    ASSERT_TRUE(rig_->Line().IsOpen());
    ops_ = std::make_unique<Operations>(rig_->Line(), texts_);
  }
  bool AwaitIdle(std::chrono::milliseconds timeout) {
    return RunUntil(
        [&] {
          for (const ClockTiming& timing : kClocks) {
            if (ops_->CountdownOf(timing.clock).IsRunning()) return false;
          }
          return true;
        },
        timeout);
  }

  std::unique_ptr<PtyRig> rig_;
  LogRecordingTexts texts_;
  std::unique_ptr<Operations> ops_;
};

TEST_F(OperationsOverPty, WithNoDetectorEachOperationFailsAtItsTimeOut) {
  Connect({.present = false});
  struct Row {
    const char* name;
    Press press;
    const char* failure;
    double seconds;
  };
  const Row rows[] = {
      {"query address", &Operations::QueryAddress, "查询失败！", 1.3},
      {"query voltage", &Operations::QueryVoltage, "查询失败！", 1.3},
      {"set address", &Operations::SetAddress, "设置失败！", 1.6},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    texts_.SetAddressText("5");
    texts_.SetLogText("");
    const auto start = SteadyClock::now();
    (ops_.get()->*row.press)();
    ASSERT_TRUE(RunUntil([&] { return !texts_.LogText().empty(); }, 4s));
    EXPECT_EQ(texts_.LogText(), row.failure);
    EXPECT_NEAR(SecondsSince(start), row.seconds, 0.15);
    EXPECT_TRUE(AwaitIdle(200ms));
  }
}

// The confirmation leaves on the third 100 ms tick after the broadcast.
TEST_F(OperationsOverPty, TheConfirmationLeaves300msAfterTheBroadcast) {
  Connect(At(1));
  texts_.SetAddressText("7");
  ops_->SetAddress();
  ASSERT_TRUE(AwaitIdle(3s));
  ASSERT_TRUE(rig_->Detector().WaitForExchanges(2, 1s));
  const auto log = rig_->Detector().Exchanges();
  EXPECT_EQ(log[0].request, Hex("00 06 00 12 00 07 69 DC"));
  EXPECT_EQ(log[1].request, Hex("07 06 00 12 00 07 68 6B"));
  const double gap =
      std::chrono::duration<double, std::milli>(log[1].requestLastByte - log[0].requestLastByte)
          .count();
  EXPECT_NEAR(gap, 300.0, 40.0);
}

// The device pulled in the middle of each operation: its failure text within 0.2 s, every
// countdown stopped, the port closed; choosing COM1 again once a detector is back opens it.
TEST_F(OperationsOverPty, APulledDeviceFailsTheOperationInFlightAtOnce) {
  struct Row {
    const char* name;
    Press press;
    const char* box;
    std::vector<std::string> written;
    Fault fault;
  };
  const Row rows[] = {
      // The reply is still 400 ms away when the device goes.
      {"query voltage", &Operations::QueryVoltage, "1", {"查询失败！"}, Fault::Delay(400ms)},
      {"query address", &Operations::QueryAddress, "(1-255)", {"查询失败！"}, Fault::Delay(400ms)},
      // In the delay before the confirmation.
      {"set address", &Operations::SetAddress, "3", {"设置失败！"}, {}},
      // In the measurement.
      {"query resistance", &Operations::QueryResistance, "1", {"测试中...", "查询失败！"}, {}},
  };
  double slowest = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Connect({.address = 1, .measurementTime = 0ms});
    texts_.SetAddressText(row.box);
    texts_.written.clear();
    rig_->Detector().SetFault(row.fault, 1);
    (ops_.get()->*row.press)();
    RunFor(50ms);  // the request crosses the line; the reply, the confirmation or the read is
                   // still to come
    const std::size_t before = texts_.written.size();
    const auto pulled = SteadyClock::now();
    rig_->Detector().Unplug();
    ASSERT_TRUE(RunUntil([&] { return texts_.written.size() > before; }, 1s));
    const double latency = SecondsSince(pulled);
    slowest = std::max(slowest, latency);
    EXPECT_LT(latency, 0.2);
    EXPECT_EQ(texts_.written, row.written);
    EXPECT_FALSE(rig_->Line().IsOpen());
    EXPECT_TRUE(AwaitIdle(10ms));
    RunFor(100ms);
    EXPECT_EQ(texts_.written, row.written);  // nothing more: no time-out comes after
  }
  RecordProperty("slowest_lost_line_ms", static_cast<int>(slowest * 1000));
  std::printf("lost line: failure text %.1f ms after the pull at most\n", slowest * 1000);
}

// The detector's real measurement time and the tool's real 19 ticks. A voltage query pressed
// during the wait runs to its end; the address box edited afterwards does not move the read,
// which leaves on the 19th tick for the detector the press addressed.
TEST_F(OperationsOverPty, TheMeasurementReadsTheDetectorThePressAddressedAfter19Seconds) {
  Connect({.address = 1, .voltage = 220, .measurementTime = 19'000ms});
  texts_.SetAddressText("1");
  const auto start = SteadyClock::now();
  ops_->QueryResistance();
  EXPECT_EQ(texts_.LogText(), "测试中...");
  ASSERT_TRUE(rig_->Detector().WaitForExchanges(1, 1s));
  RunFor(1500ms);
  ops_->QueryVoltage();
  ASSERT_TRUE(RunUntil([&] { return texts_.LogText() != "测试中..."; }, 2s));
  EXPECT_EQ(texts_.LogText(), kVoltage1);
  EXPECT_TRUE(ops_->CountdownOf(Clock::kMeasureDelay).IsRunning());
  texts_.SetAddressText("2");

  ASSERT_TRUE(RunUntil([&] { return texts_.LogText().starts_with("查询成功！\r\n发送1"); }, 21s));
  EXPECT_NEAR(SecondsSince(start), 19.0, 0.5);  // a second either way is another tick
  EXPECT_EQ(texts_.LogText(), kResistance1);
  EXPECT_EQ(texts_.AddressText(), "2");
  const auto log = rig_->Detector().Exchanges();
  ASSERT_EQ(log.size(), 3U);
  EXPECT_EQ(log.back().request, Hex("01 03 00 0D 00 02 55 C8"));
  const double wait =
      std::chrono::duration<double>(log.back().requestLastByte - log.front().requestLastByte)
          .count();
  EXPECT_NEAR(wait, 19.0, 0.5);
}

}  // namespace
}  // namespace karvello
