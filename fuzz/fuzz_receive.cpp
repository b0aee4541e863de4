// Feeds arbitrary byte streams, cut into arbitrary pieces with arbitrary pauses, to the receive
// path under every pending command, with arbitrary address texts, ticks and line events between
// them: the real operations and their log text over the in-memory serial line.
//
// The input is a list of actions. Each action is one opcode byte, whose high three bits name the
// action and whose low five bits (`arg`) are its argument, followed by the bytes it takes:
//   0  bytes arrive: `arg` bytes follow (arg 31: the next byte gives the count)
//   1  the line falls silent (the 50 ms gap has elapsed)
//   2  SendCommand(kCodes[arg % 8])
//   3  Timer(arg % 6 + 1) ticks arg / 6 + 1 times
//   4  the address box is set to the `arg` bytes that follow
//   5  the address box is set to kTexts[arg % kTexts.size()]
//   6  bytes arrive with their right CRC: like 0, the two CRC bytes appended
//   7  line event: arg 0 the line fails (and the port is opened again); arg 1 to 15 an event of
//      kind arg; arg 16 to 31 a noise burst of (arg - 15) * 64 bytes (up to 1 KiB at once), the
//      byte that follows repeated
// An input that ends in the middle of an action ends there.
//
// Checked after every action and around every receive event (a violation aborts with a message
// on stderr; reads past the received bytes are caught by ASan and the library's assertions):
// - the bytes waiting on the line and the frame of a receive event never exceed the receive
//   buffer (1024 bytes);
// - a receive event is judged as an oracle written out here says (the header rules of each
//   pending step, an exception reply, a fragment too short to judge, a truncated frame, the CRC
//   over the whole reply): a dropped frame or a fragment changes nothing, a bad one shows its
//   failure text, a good one shows exactly its report (or nothing when the address box is not
//   wholly a number), and no other frame ever leads to a success report;
// - the log text always has one of the shapes the operations write: empty, a failure text,
//   "测试中...", or one of the four reports line by line, with CR LF between lines only;
// - each request step and tick does only what it may: the set-address steps send only a whole
//   address 1 to 255, every frame sent has its right CRC, a tick counts or acts on the tick
//   after its limit, and a time-out shows its failure text and stops its timer.

#include <QCoreApplication>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "framing/numeric.h"
#include "operations/operations.h"
#include "operations/window_texts.h"
#include "serial/fake_serial_control.h"
#include "serial/frame_assembler.h"
#include "support/expected_resistance.h"

namespace {

using karvello::CommandCode;
using Bytes = std::vector<std::uint8_t>;

constexpr std::array<CommandCode, 8> kCodes = {1, 11, 2, 3, 33, 4, 0, 5};
constexpr std::array<std::string_view, 16> kTexts = {"",    "(1-255)",  "1",    "5",   "255", "0",
                                                     "5.4", "12abc",    " 5 ",  "5.0", "256", "-1",
                                                     "200", "\t10\r\n", "0005", "1e3"};

constexpr std::string_view kCrLf = "\r\n";
constexpr std::string_view kSetOk = "设置成功！";
constexpr std::string_view kQueryOk = "查询成功！";
constexpr std::string_view kSetFailed = "设置失败！";
constexpr std::string_view kQueryFailed = "查询失败！";
constexpr std::string_view kMeasuring = "测试中...";

[[noreturn]] void Fail(const char* what, const std::string& detail = {}) {
  std::fprintf(stderr, "INVARIANT VIOLATED: %s\n%s\n", what, detail.c_str());
  std::fflush(stderr);
  std::abort();
}

// The detail text is formed only when the check fails.
#define REQUIRE(ok, what, ...)                        \
  do {                                                \
    if (!(ok)) Fail(what __VA_OPT__(, ) __VA_ARGS__); \
  } while (false)

// ---- The oracle: the rules written out again, independently of the tool's code. ----

std::uint16_t Crc(std::span<const std::uint8_t> bytes) {
  std::uint16_t crc = 0xFFFF;
  for (std::uint8_t b : bytes) {
    crc ^= b;
    for (int i = 0; i < 8; ++i) crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
  }
  return crc;
}

// True when the first `length` bytes end with the CRC of the bytes before them, low byte first.
bool CrcRight(std::span<const std::uint8_t> frame, std::size_t length) {
  const std::uint16_t crc = Crc(frame.first(length - 2));
  return frame[length - 2] == (crc & 0xFF) && frame[length - 1] == (crc >> 8);
}

std::string Hex(std::uint8_t b) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  return {kDigits[b >> 4], kDigits[b & 15]};
}

std::string HexRun(std::span<const std::uint8_t> bytes) {
  std::string out;
  for (std::size_t i = 0; i < bytes.size(); ++i) out += (i ? " " : "") + Hex(bytes[i]);
  return out;
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}
bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// The address box taken as a whole as an address byte: decimal digits with blanks around them,
// 0 to 255. Empty when it is anything else.
std::optional<std::uint8_t> WholeAddress(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  if (text.empty()) return std::nullopt;
  unsigned value = 0;
  for (char c : text) {
    if (!IsDigit(c)) return std::nullopt;
    value = value * 10 + static_cast<unsigned>(c - '0');
    if (value > 255) return std::nullopt;
  }
  return static_cast<std::uint8_t>(value);
}

bool IsNumber(std::uint8_t byte, double number) {
  return static_cast<double>(byte) == number;
}

enum class Verdict { kDropped, kNoise, kGood, kBad };

// Header bytes checked and whole length shown, per pending step.
struct Shape {
  std::size_t header;
  std::size_t length;
};

std::optional<Shape> ShapeOf(CommandCode pending) {
  switch (pending) {
    case 11:
      return Shape{6, 8};
    case 2:
      return Shape{5, 7};
    case 33:
      return Shape{3, 9};
    case 4:
      return Shape{3, 7};
    default:
      return std::nullopt;
  }
}

Verdict Judge(CommandCode pending, const Bytes& rx, double address) {
  const auto shape = ShapeOf(pending);
  if (!shape) return Verdict::kDropped;
  if (rx.size() >= 5 && (rx[1] & 0x80)) return Verdict::kBad;  // an exception reply
  if (rx.size() < shape->header) return Verdict::kNoise;
  bool header = false;
  switch (pending) {
    case 11:  // the echo of the write: A 06 00 12 00 A
      header = IsNumber(rx[0], address) && rx[1] == 6 && rx[3] == 0x12 && IsNumber(rx[5], address);
      break;
    case 2:  // the broadcast read: the address twice, in the slave byte and the register
      header = rx[1] == 3 && rx[2] == 2 && rx[0] == rx[4];
      break;
    case 33:
      header = IsNumber(rx[0], address) && rx[1] == 3 && rx[2] == 4;
      break;
    case 4:
      header = IsNumber(rx[0], address) && rx[1] == 3 && rx[2] == 2;
      break;
  }
  if (!header) return Verdict::kBad;
  if (rx.size() < shape->length) return Verdict::kBad;
  if (!CrcRight(rx, shape->length)) return Verdict::kBad;
  return Verdict::kGood;
}

std::string Join(std::initializer_list<std::string> lines) {
  std::string out;
  bool first = true;
  for (const auto& line : lines) {
    if (!first) out += kCrLf;
    out += line;
    first = false;
  }
  return out;
}

std::string S(std::string_view v) {
  return std::string(v);
}

// The report of a good reply, or empty when the handler writes none (address box not wholly a
// number).
std::optional<std::string> ExpectedReport(CommandCode pending, const Bytes& rx,
                                          const std::string& text1, const karvello::FormState& st) {
  const auto a = WholeAddress(text1);
  const std::span<const std::uint8_t> all(rx);
  switch (pending) {
    case 11: {
      if (!a) return std::nullopt;
      const std::string A = Hex(*a);
      return Join({S(kSetOk),
                   "发送1：00 06 00 12 00 " + A + " " + Hex(st.SentCrcLo) + " " + Hex(st.SentCrcHi),
                   "发送2：" + A + " 06 00 12 00 " + A + " " + Hex(st.CrcLo) + " " + Hex(st.CrcHi),
                   "接收 ：" + HexRun(all.first(8))});
    }
    case 2:
      return Join({S(kQueryOk), "发送：00 03 00 12 00 01 25 DE", "接收：" + HexRun(all.first(7)),
                   "地址：" + std::to_string(rx[0])});
    case 33: {
      if (!a) return std::nullopt;
      const std::string A = Hex(*a);
      return Join(
          {S(kQueryOk),
           "发送1：" + A + " 06 00 11 00 01 " + Hex(st.SentCrcLo) + " " + Hex(st.SentCrcHi),
           "发送2：" + A + " 03 00 0D 00 02 " + Hex(st.CrcLo) + " " + Hex(st.CrcHi),
           "接收 ：" + HexRun(all.first(9)),
           "电阻 = " + karvello::testing::ExpectedResistanceText(rx[3] * 256U + rx[4], rx[6]) +
               "欧姆"});
    }
    case 4: {
      if (!a) return std::nullopt;
      return Join({S(kQueryOk),
                   "发送：" + Hex(*a) + " 03 00 0F 00 01 " + Hex(st.CrcLo) + " " + Hex(st.CrcHi),
                   "接收：" + HexRun(all.first(7)),
                   "电压 = " + std::to_string(rx[3] * 256U + rx[4]) + "伏"});
    }
    default:
      return std::nullopt;
  }
}

// ---- The grammar of every text the log can hold. ----

bool Consume(std::string_view& s, std::string_view prefix) {
  if (!s.starts_with(prefix)) return false;
  s.remove_prefix(prefix.size());
  return true;
}

bool IsHexRun(std::string_view s, std::size_t count) {
  if (s.size() != count * 3 - 1) return false;
  for (std::size_t i = 0; i < s.size(); ++i) {
    const char c = s[i];
    const bool ok = (i % 3 == 2) ? c == ' ' : (IsDigit(c) || (c >= 'A' && c <= 'F'));
    if (!ok) return false;
  }
  return true;
}

// Decimal digits without leading zeros ("0" alone allowed), at most `maxDigits` of them.
bool IsDecimal(std::string_view s, std::size_t maxDigits) {
  if (s.empty() || s.size() > maxDigits) return false;
  for (char c : s)
    if (!IsDigit(c)) return false;
  return s.size() == 1 || s[0] != '0';
}

bool IsResistance(std::string_view s) {
  if (s == "OL" || IsDecimal(s, 5)) return true;
  // "0.d", "0.0d", "0.dd" or " d+.d" / " d+.dd" (the point among the reading's own digits).
  const bool spaced = s.starts_with(' ');
  if (spaced) s.remove_prefix(1);
  const auto point = s.find('.');
  if (point == std::string_view::npos) return false;
  const std::string_view whole = s.substr(0, point);
  const std::string_view frac = s.substr(point + 1);
  if (frac.empty() || frac.size() > 2) return false;
  for (char c : frac)
    if (!IsDigit(c)) return false;
  if (spaced) return IsDecimal(whole, 4) && whole != "0";
  return whole == "0";
}

std::vector<std::string_view> Lines(std::string_view s) {
  std::vector<std::string_view> lines;
  for (;;) {
    const auto end = s.find(kCrLf);
    lines.push_back(s.substr(0, end));
    if (end == std::string_view::npos) return lines;
    s.remove_prefix(end + kCrLf.size());
  }
}

bool IsKnownShape(std::string_view log) {
  if (log.empty() || log == kSetFailed || log == kQueryFailed || log == kMeasuring) return true;
  // A stray CR or LF anywhere but in a CR LF pair is not a shape the tool writes.
  for (std::size_t i = 0; i < log.size(); ++i) {
    if (log[i] == '\r' && (i + 1 >= log.size() || log[i + 1] != '\n')) return false;
    if (log[i] == '\n' && (i == 0 || log[i - 1] != '\r')) return false;
  }
  auto lines = Lines(log);
  if (lines.size() == 4 && lines[0] == kSetOk) {
    return Consume(lines[1], "发送1：") && IsHexRun(lines[1], 8) && Consume(lines[2], "发送2：") &&
           IsHexRun(lines[2], 8) && Consume(lines[3], "接收 ：") && IsHexRun(lines[3], 8);
  }
  if (lines.size() == 4 && lines[0] == kQueryOk && lines[1] == "发送：00 03 00 12 00 01 25 DE") {
    return Consume(lines[2], "接收：") && IsHexRun(lines[2], 7) && Consume(lines[3], "地址：") &&
           IsDecimal(lines[3], 3) && std::stoi(std::string(lines[3])) <= 255;
  }
  if (lines.size() == 4 && lines[0] == kQueryOk) {
    return Consume(lines[1], "发送：") && IsHexRun(lines[1], 8) && Consume(lines[2], "接收：") &&
           IsHexRun(lines[2], 7) && Consume(lines[3], "电压 = ") && lines[3].ends_with("伏") &&
           IsDecimal(lines[3].substr(0, lines[3].size() - S("伏").size()), 5);
  }
  if (lines.size() == 5 && lines[0] == kQueryOk) {
    return Consume(lines[1], "发送1：") && IsHexRun(lines[1], 8) && Consume(lines[2], "发送2：") &&
           IsHexRun(lines[2], 8) && Consume(lines[3], "接收 ：") && IsHexRun(lines[3], 9) &&
           Consume(lines[4], "电阻 = ") && lines[4].ends_with("欧姆") &&
           IsResistance(lines[4].substr(0, lines[4].size() - S("欧姆").size()));
  }
  return false;
}

// ---- Driving the tool. ----

class Run {
 public:
  Run() : ops_(comm_, texts_) {
    comm_.SetCommPort(1);
    REQUIRE(comm_.SetPortOpen(true), "the fake port opens");
    // Every receive event goes through the checks around the real handler.
    comm_.SetOnComm([this] { CheckedOnComm(); });
  }

  void Play(std::span<const std::uint8_t> in) {
    std::size_t at = 0;
    auto next = [&]() -> std::optional<std::uint8_t> {
      if (at >= in.size()) return std::nullopt;
      return in[at++];
    };
    auto take = [&](std::size_t count) -> std::optional<Bytes> {
      if (in.size() - at < count) return std::nullopt;
      Bytes out(in.begin() + static_cast<long>(at), in.begin() + static_cast<long>(at + count));
      at += count;
      return out;
    };
    while (const auto opcode = next()) {
      comm_.ForgetCalls();  // the fake's record would otherwise grow over the whole input
      const unsigned op = *opcode >> 5;
      const unsigned arg = *opcode & 31U;
      switch (op) {
        case 0:
        case 6: {
          std::size_t count = arg;
          if (arg == 31) {
            const auto n = next();
            if (!n) return;
            count = *n;
          }
          auto bytes = take(count);
          if (!bytes) return;
          if (op == 6 && !bytes->empty()) {
            const std::uint16_t crc = Crc(*bytes);
            bytes->push_back(static_cast<std::uint8_t>(crc & 0xFF));
            bytes->push_back(static_cast<std::uint8_t>(crc >> 8));
          }
          Action([&] { comm_.Receive(std::move(*bytes)); });
          break;
        }
        case 1:
          Action([&] { comm_.FallSilent(); });
          break;
        case 2:
          Send(kCodes[arg % kCodes.size()]);
          break;
        case 3:
          for (unsigned i = 0; i <= arg / 6; ++i) Tick(static_cast<int>(arg % 6) + 1);
          break;
        case 4: {
          const auto bytes = take(arg);
          if (!bytes) return;
          SetAddressText(std::string(bytes->begin(), bytes->end()));
          break;
        }
        case 5:
          SetAddressText(std::string(kTexts[arg % kTexts.size()]));
          break;
        case 7:
          if (arg == 0) {
            Action([&] {
              comm_.FailLine();
              REQUIRE(comm_.SetPortOpen(true), "the fake port opens again");
            });
          } else if (arg < 16) {
            Action([&] { comm_.RaiseEvent(static_cast<int>(arg)); });
          } else {
            const auto fill = next();
            if (!fill) return;
            Action([&] { comm_.Receive(Bytes((arg - 15) * 64U, *fill)); });
          }
          break;
      }
    }
  }

 private:
  // Runs one action with the checks that hold after any action.
  template <typename F>
  void Action(F&& f) {
    f();
    CheckAlways();
  }

  void CheckAlways() {
    REQUIRE(comm_.Waiting() <= karvello::kReceiveBufferSize, "waiting bytes exceed the buffer");
    REQUIRE(ops_.State().RxBytes.size() <= karvello::kReceiveBufferSize, "RxBytes too large");
    REQUIRE(IsKnownShape(texts_.LogText()), "log text of an unknown shape", texts_.LogText());
  }

  void SetAddressText(const std::string& text) {
    Action([&] { texts_.SetAddressText(text); });
  }

  void Send(CommandCode code) {
    const std::string before = texts_.LogText();
    const std::string text1 = texts_.AddressText();
    const std::size_t written = comm_.Written().size();
    Action([&] { ops_.SendCommand(code); });
    REQUIRE(ops_.State().PendingCommand == code, "PendingCommand is the code sent");
    CheckSendOutcome(code, before, text1, written);
  }

  // What a request step may do to the log and the line.
  void CheckSendOutcome(CommandCode code, const std::string& before, const std::string& text1,
                        std::size_t writtenBefore) {
    const std::string& log = texts_.LogText();
    const auto& written = comm_.Written();
    const bool wrote = written.size() == writtenBefore + 1;
    REQUIRE(written.size() <= writtenBefore + 1, "one request writes one frame");
    if (wrote) {
      const Bytes& frame = written.back();
      REQUIRE(frame.size() == 8 && CrcRight(frame, 8), "a request frame has its right CRC",
              HexRun(frame));
    }
    const auto whole = WholeAddress(text1);
    const bool realAddress = whole && *whole >= 1;
    switch (code) {
      case 1:
      case 11:
        // Only a whole number 1 to 255 is ever broadcast or confirmed.
        if (realAddress) {
          REQUIRE(wrote && log == before, "a set-address step with a real address is sent");
          REQUIRE(written.back()[5] == *whole, "the address written is the address box's");
        } else {
          REQUIRE(!wrote && log == kSetFailed, "a set-address step without an address fails");
        }
        break;
      case 3:
        if (karvello::NumericValue(text1) == 0) {
          REQUIRE(!wrote && log == kQueryFailed, "a measurement without an address fails");
        } else {
          REQUIRE(wrote && log == kMeasuring, "a measurement start shows 测试中...");
        }
        break;
      case 2:
      case 33:
      case 4:
        REQUIRE(wrote && log == before, "a request step leaves the log");
        break;
      default:
        REQUIRE(!wrote && log == before, "an unknown code sends nothing");
        break;
    }
  }

  // The counter and the tick on which each timer acts: a timer acts on the tick after its counter
  // has reached its limit (13 ticks for a time-out, 3 for the set-address delay, 19 for the
  // measurement wait).
  std::int16_t CounterOf(int timer) const {
    const auto& st = ops_.State();
    switch (timer) {
      case 1:
        return st.SetTimeoutTicks;
      case 2:
        return st.AddrTimeoutTicks;
      case 3:
        return st.ResTimeoutTicks;
      case 4:
        return st.SetDelayTicks;
      case 5:
        return st.VoltTimeoutTicks;
      default:
        return st.MeasureDelayTicks;
    }
  }

  static std::int16_t LimitOf(int timer) { return timer == 4 ? 2 : timer == 6 ? 18 : 12; }

  void Tick(int timer) {
    const std::string before = texts_.LogText();
    const std::string text1 = texts_.AddressText();
    const CommandCode pending = ops_.State().PendingCommand;
    const std::size_t written = comm_.Written().size();
    const std::int16_t counter = CounterOf(timer);
    const bool acts = counter >= LimitOf(timer);
    Action([&] {
      switch (timer) {
        case 1:
          ops_.Timer1_Timer();
          break;
        case 2:
          ops_.Timer2_Timer();
          break;
        case 3:
          ops_.Timer3_Timer();
          break;
        case 4:
          ops_.Timer4_Timer();
          break;
        case 5:
          ops_.Timer5_Timer();
          break;
        default:
          ops_.Timer6_Timer();
          break;
      }
    });
    const CommandCode now = ops_.State().PendingCommand;
    const std::string& log = texts_.LogText();
    REQUIRE(CounterOf(timer) == (acts ? 0 : counter + 1), "a tick counts, or acts and restarts");
    if (acts && (timer == 4 || timer == 6)) {
      const CommandCode next = timer == 4 ? 11 : 33;
      REQUIRE(now == next, "a delay that runs out sends the next step");
      CheckSendOutcome(next, before, text1, written);
      return;
    }
    REQUIRE(now == pending, "a tick changes no pending step but by sending the next");
    REQUIRE(comm_.Written().size() == written, "a time-out tick sends nothing");
    if (acts) {
      REQUIRE(log == (timer == 1 ? kSetFailed : kQueryFailed), "a time-out shows its failure", log);
      REQUIRE(!ops_.Timer(timer).IsOn(), "a time-out stops its timer");
    } else {
      REQUIRE(log == before, "a tick that counts writes nothing", log);
    }
  }

  void CheckedOnComm() {
    const std::string before = texts_.LogText();
    const std::string text1 = texts_.AddressText();
    const CommandCode pending = ops_.State().PendingCommand;
    const int kind = comm_.CommEvent();
    // Kept only for an event of another kind, which must leave it as it is.
    const Bytes rxBefore =
        kind != karvello::SerialControl::kEvReceive ? ops_.State().RxBytes : Bytes{};

    ops_.MSComm1_OnComm();

    const auto& st = ops_.State();
    const std::string& log = texts_.LogText();
    REQUIRE(st.PendingCommand == pending, "a receive event keeps the pending step");
    if (kind != karvello::SerialControl::kEvReceive) {
      REQUIRE(log == before && st.RxBytes == rxBefore && texts_.AddressText() == text1,
              "an event of another kind changes nothing");
      return;
    }
    const Bytes& rx = st.RxBytes;
    REQUIRE(rx.size() <= karvello::kReceiveBufferSize, "a frame larger than the buffer");
    const Verdict verdict = Judge(pending, rx, karvello::NumericValue(text1));
    const bool isSuccess = log != before && (log.starts_with(kSetOk) || log.starts_with(kQueryOk));
    if (isSuccess && verdict != Verdict::kGood) {
      Fail("a success report for a frame that is not a good reply", HexRun(rx) + "\n" + log);
    }
    switch (verdict) {
      case Verdict::kDropped:
      case Verdict::kNoise:
        REQUIRE(log == before && texts_.AddressText() == text1, "a dropped frame changes nothing",
                HexRun(rx) + "\n" + log);
        return;
      case Verdict::kBad:
        REQUIRE(log == (pending == 11 ? kSetFailed : kQueryFailed),
                "a bad reply shows the failure text", HexRun(rx) + "\n" + log);
        REQUIRE(texts_.AddressText() == text1, "a bad reply leaves the address box");
        break;
      case Verdict::kGood: {
        const auto expected = ExpectedReport(pending, rx, text1, st);
        if (expected) {
          REQUIRE(log == *expected, "the report of a good reply",
                  HexRun(rx) + "\nexpected:\n" + *expected + "\ngot:\n" + log);
        } else {
          REQUIRE(log == before, "no report without an address", log);
        }
        const std::string address = pending == 2 ? std::to_string(rx[0]) : text1;
        REQUIRE(texts_.AddressText() == address, "the address box after a good reply",
                texts_.AddressText());
        break;
      }
    }
    // The operation is over from this side: its time-out timer is off.
    const int timer = pending == 11 ? 1 : pending == 2 ? 2 : pending == 33 ? 3 : 5;
    REQUIRE(!ops_.Timer(timer).IsOn(), "the time-out stops on a judged reply");
  }

  karvello::FakeSerialControl comm_;
  karvello::PlainWindowTexts texts_;
  karvello::Operations ops_;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  static int argc = 1;
  static char name[] = "fuzz_receive";
  static char* argv[] = {name, nullptr};
  static QCoreApplication app(argc, argv);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Run run;
  run.Play(std::span(data, size));
  return 0;
}
