// Feeds arbitrary byte streams, cut into arbitrary pieces with arbitrary pauses, to the receive
// path under every pending step, with arbitrary address texts, button presses, deadlines run out
// or counting seconds, and line losses between them: the real engine, and the presenter's log
// text, over the in-memory serial line.
//
// The input is a list of actions. Each action is one opcode byte, whose high three bits name the
// action and whose low five bits (`arg`) are its argument, followed by the bytes it takes:
//   0  bytes arrive: `arg` bytes follow (arg 31: the next byte gives the count)
//   1  the line falls silent (the 50 ms gap has elapsed)
//   2  a button is pressed: that of kOperations[arg % 4]
//   3  a deadline of the engine: that of operation kOperations[(arg >> 1) & 3], its time-out (arg
//      even) or its delay (arg odd); arg >> 3 is 0: it runs out now (Expire), else that many
//      seconds of it pass (Tick; a second passes only while it runs, as its timer would)
//   4  the address box is set to the `arg` bytes that follow
//   5  the address box is set to kTexts[arg % kTexts.size()]
//   6  bytes arrive with their right CRC: like 0, the two CRC bytes appended
//   7  the line: arg 0 the device is pulled (and its port chosen again); arg 1 the last request
//      comes back verbatim (a line that hears itself); arg 2 to 15 the reply awaited (arg % 3
//      0), the slave's refusal (1) or the reply's shape from the slave the next byte names (2),
//      with a right CRC and its data from the next four bytes; arg 16 to 31 a noise burst of
//      (arg - 15) * 64 bytes (up to 1 KiB at once), the byte that follows repeated
// An input that ends in the middle of an action ends there.
//
// Checked after every action (a violation aborts with a message on stderr; reads past the
// received bytes are caught by ASan and the library's assertions):
// - what the line hands up, as an oracle written out here judges it: an awaited reply is whole,
//   from the slave asked, of the length and head its request calls for, its CRC right; a refusal
//   is that slave's 5-byte exception reply to the request's function, its CRC right; a corrupt
//   reply has such a head and length and a wrong CRC; nothing handed up and nothing waiting ever
//   exceeds the receive buffer (1024 bytes);
// - what the operations write for it: an accepted reply shows exactly its report (the frames
//   that were sent, the reply, the reading worked out here, the resistance text of
//   support/expected_resistance.h), every time it comes; anything else shows the step's failure
//   text only while the step has no answer yet, and bytes too short to judge (fewer than 6 for
//   the echo, 5 for the address reply, 3 for the reads) show nothing;
// - apart from that chain of reckoning: no success report ever shows a reply that is not whole,
//   from the slave asked, with its right CRC, and among the bytes that arrived since its request;
//   on a line known to echo, the confirmation's own copy at the front never makes a success;
// - the log text always has one of the shapes the operations write: empty, a failure text,
//   "测试中...", or one of the four reports, with CR LF between lines only;
// - each press and deadline does only what it may: set address sends only a whole address 1 to
//   255 (else "设置失败！"), query resistance with no address value fails at once, and after
//   either nothing that arrives is judged; every frame sent is the step's own for the address the
//   press fixed, whatever the box holds since, and the engine tells it and names the operation's
//   phase; the deadlines last 1.3 s (time-outs), 0.3 s and 19 s (delays); a second of a deadline
//   only counts; a time-out shows its failure text and stops; a delay that runs out sends the
//   operation's second request; a lost line fails each operation in flight at once, each with
//   its failure text, and stops every deadline.

#include <QCoreApplication>
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/address_box.h"
#include "engine/engine.h"
#include "framing/replies.h"
#include "serial/reply_finder.h"
#include "support/expected_resistance.h"
#include "support/fake_serial_line.h"
#include "support/hex_bytes.h"
#include "support/recording_texts.h"
#include "ui/presenter.h"

namespace {

using karvello::Deadline;
using karvello::Engine;
using karvello::Operation;
using karvello::Phase;
using karvello::Received;
using Bytes = std::vector<std::uint8_t>;
using karvello::testing::HexText;
using karvello::testing::WithCrc;

constexpr std::array<std::string_view, 20> kTexts = {
    "",    "(1-255)", "1",   "5",        "255",  "0",   "5.4", "12abc", " 5 ",  "5.0",
    "256", "-1",      "200", "\t10\r\n", "0005", "1e3", "+5",  "5.",    "5\n7", "128"};

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

bool CrcRight(std::span<const std::uint8_t> frame) {
  if (frame.size() < 3) return false;
  const std::uint16_t crc = karvello::testing::BitwiseCrc16(frame.first(frame.size() - 2));
  return frame[frame.size() - 2] == (crc & 0xFF) && frame[frame.size() - 1] == (crc >> 8);
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}
bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// The address box taken as a whole as a new device address: decimal digits with blanks around
// them, 1 to 255.
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
  if (value == 0) return std::nullopt;
  return static_cast<std::uint8_t>(value);
}

using Op = Operation;

// The requests the operations send, as the oracle names them.
enum class StepId {
  kBroadcastAddress,
  kConfirmAddress,
  kQueryAddress,
  kStartMeasurement,
  kReadResistance,
  kQueryVoltage
};

// What the oracle knows of each request step.
struct StepRule {
  Op op;
  bool awaits;
  std::size_t replyLength;
  std::size_t judgedFrom;  // fewer stray bytes than this are noise
  // Awaiting no reply, the request is still searched for its echo and its refusal, which ends
  // the operation (the start of a measurement).
  bool heedsRefusal = false;
};

StepRule RuleOf(StepId id) {
  switch (id) {
    case StepId::kBroadcastAddress:
      return {Op::kSetAddress, false, 0, 0};
    case StepId::kConfirmAddress:
      return {Op::kSetAddress, true, 8, 6};
    case StepId::kQueryAddress:
      return {Op::kQueryAddress, true, 7, 5};
    case StepId::kStartMeasurement:
      return {Op::kQueryResistance, false, 8, 0, true};
    case StepId::kReadResistance:
      return {Op::kQueryResistance, true, 9, 3};
    case StepId::kQueryVoltage:
      return {Op::kQueryVoltage, true, 7, 3};
  }
  Fail("unknown step");
}

std::string_view FailureOf(Op op) {
  return op == Op::kSetAddress ? kSetFailed : kQueryFailed;
}

// The head of the reply a request awaits: from the slave asked (any slave for the broadcast
// read), its function, and for a read the byte count, for the echo the register.
bool HeadFits(StepId step, const Bytes& request, std::span<const std::uint8_t> r) {
  if (r.size() < 4) return false;
  switch (step) {
    case StepId::kConfirmAddress:
    case StepId::kStartMeasurement:
      return r[0] == request[0] && r[1] == 6 && r[2] == request[2] && r[3] == request[3];
    case StepId::kQueryAddress:
      return r[1] == 3 && r[2] == 2;
    case StepId::kReadResistance:
      return r[0] == request[0] && r[1] == 3 && r[2] == 4;
    case StepId::kQueryVoltage:
      return r[0] == request[0] && r[1] == 3 && r[2] == 2;
    default:
      return false;
  }
}

bool IsRightReply(StepId step, const Bytes& request, std::span<const std::uint8_t> r) {
  return r.size() == RuleOf(step).replyLength && HeadFits(step, request, r) && CrcRight(r);
}

// Beyond its shape: the echo carries the address written, the address reply names its sender
// twice.
bool Accepted(StepId step, const Bytes& request, std::span<const std::uint8_t> r) {
  if (step == StepId::kConfirmAddress) return r[5] == request[5];
  if (step == StepId::kQueryAddress) return r[0] == r[4];
  return true;
}

bool IsRefusalHead(StepId step, const Bytes& request, std::span<const std::uint8_t> r) {
  return r.size() == 5 && (step == StepId::kQueryAddress || r[0] == request[0]) &&
         r[1] == (request[1] | 0x80);
}

// True when `tail` may still grow into the awaited reply or the slave's refusal: shorter than it,
// every byte there fitting its head, and at least two bytes, or one naming the slave asked.
bool IsHeadStillToGrow(StepId step, const Bytes& request, std::span<const std::uint8_t> tail) {
  if (tail.empty()) return false;
  const bool anySlave = step == StepId::kQueryAddress;
  if (tail.size() == 1 && anySlave) return false;
  const bool slaveFits = anySlave || tail[0] == request[0];
  // The awaited reply.
  Bytes head;
  switch (step) {
    case StepId::kConfirmAddress:
    case StepId::kStartMeasurement:
      head = {request[0], 6, request[2], request[3]};
      break;
    case StepId::kQueryAddress:
      head = {0, 3, 2};
      break;
    case StepId::kReadResistance:
      head = {request[0], 3, 4};
      break;
    case StepId::kQueryVoltage:
      head = {request[0], 3, 2};
      break;
    default:
      return false;
  }
  bool reply = slaveFits && tail.size() < RuleOf(step).replyLength;
  for (std::size_t i = 1; reply && i < std::min(tail.size(), head.size()); ++i) {
    reply = tail[i] == head[i];
  }
  const bool refusal =
      slaveFits && tail.size() < 5 && (tail.size() < 2 || tail[1] == (request[1] | 0x80));
  return reply || refusal;
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

std::string ExpectedReport(Op op, const Bytes& first, const Bytes& second, const Bytes& r) {
  switch (op) {
    case Op::kSetAddress:
      return Join({S(kSetOk), "发送1：" + HexText(first), "发送2：" + HexText(second),
                   "接收 ：" + HexText(r)});
    case Op::kQueryAddress:
      return Join({S(kQueryOk), "发送：" + HexText(first), "接收：" + HexText(r),
                   "地址：" + std::to_string(r[0])});
    case Op::kQueryResistance:
      return Join({S(kQueryOk), "发送1：" + HexText(first), "发送2：" + HexText(second),
                   "接收 ：" + HexText(r),
                   "电阻 = " + karvello::testing::ExpectedResistanceText(r[3] * 256U + r[4], r[6]) +
                       "欧姆"});
    case Op::kQueryVoltage:
      return Join({S(kQueryOk), "发送：" + HexText(first), "接收：" + HexText(r),
                   "电压 = " + std::to_string(r[3] * 256U + r[4]) + "伏"});
    default:  // the survey's operations: no button presses them
      break;
  }
  return {};
}

// ---- The grammar of every text the log can hold. ----

bool Consume(std::string_view& s, std::string_view prefix) {
  if (!s.starts_with(prefix)) return false;
  s.remove_prefix(prefix.size());
  return true;
}

bool IsHexText(std::string_view s, std::size_t count) {
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
    return Consume(lines[1], "发送1：") && IsHexText(lines[1], 8) && Consume(lines[2], "发送2：") &&
           IsHexText(lines[2], 8) && Consume(lines[3], "接收 ：") && IsHexText(lines[3], 8);
  }
  if (lines.size() == 4 && lines[0] == kQueryOk && lines[1] == "发送：00 03 00 12 00 01 25 DE") {
    return Consume(lines[2], "接收：") && IsHexText(lines[2], 7) && Consume(lines[3], "地址：") &&
           IsDecimal(lines[3], 3) && std::stoi(std::string(lines[3])) <= 255;
  }
  if (lines.size() == 4 && lines[0] == kQueryOk) {
    return Consume(lines[1], "发送：") && IsHexText(lines[1], 8) && Consume(lines[2], "接收：") &&
           IsHexText(lines[2], 7) && Consume(lines[3], "电压 = ") && lines[3].ends_with("伏") &&
           IsDecimal(lines[3].substr(0, lines[3].size() - S("伏").size()), 5);
  }
  if (lines.size() == 5 && lines[0] == kQueryOk) {
    return Consume(lines[1], "发送1：") && IsHexText(lines[1], 8) && Consume(lines[2], "发送2：") &&
           IsHexText(lines[2], 8) && Consume(lines[3], "接收 ：") && IsHexText(lines[3], 9) &&
           Consume(lines[4], "电阻 = ") && lines[4].ends_with("欧姆") &&
           IsResistance(lines[4].substr(0, lines[4].size() - S("欧姆").size()));
  }
  return false;
}

// The bytes of the reply line of a success report ("接收：" or "接收 ："), parsed back.
std::optional<Bytes> ReplyShown(std::string_view log) {
  for (std::string_view line : Lines(log)) {
    if (Consume(line, "接收：") || Consume(line, "接收 ：")) {
      Bytes out;
      for (std::size_t i = 0; i + 1 < line.size() + 1; i += 3) {
        out.push_back(
            static_cast<std::uint8_t>(std::stoul(std::string(line.substr(i, 2)), nullptr, 16)));
      }
      return out;
    }
  }
  return std::nullopt;
}

std::size_t Occurrences(const Bytes& haystack, const Bytes& needle) {
  if (needle.empty() || haystack.size() < needle.size()) return 0;
  std::size_t n = 0;
  for (std::size_t i = 0; i + needle.size() <= haystack.size(); ++i) {
    if (std::equal(needle.begin(), needle.end(), haystack.begin() + static_cast<long>(i))) ++n;
  }
  return n;
}

// ---- Driving the tool. ----

class Run {
 public:
  Run() {
    REQUIRE(line_.Open(1), "the fake port opens");
    presenter_.SetOnProgress([this](const karvello::Progress& progress) {
      if (progress.sentStep) told_.push_back({progress.operation, *progress.sentStep});
    });
  }

  std::string LogText() const { return texts_.LogText(); }

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
          if (op == 6 && !bytes->empty()) *bytes = WithCrc(std::move(*bytes));
          Arrive(*bytes);
          break;
        }
        case 1:
          Silence();
          break;
        case 2:
          Press(karvello::kOperations[arg % karvello::kOperationCount]);
          break;
        case 3: {
          const Operation operation = karvello::kOperations[(arg >> 1) & 3];
          const bool delay = (arg & 1) != 0;
          if (arg >> 3 == 0) {
            RunOut(operation, delay);
          } else {
            for (unsigned i = 0; i < arg >> 3; ++i) Second(operation, delay);
          }
          break;
        }
        case 4: {
          const auto bytes = take(arg);
          if (!bytes) return;
          texts_.SetAddressText(std::string(bytes->begin(), bytes->end()));
          break;
        }
        case 5:
          texts_.SetAddressText(std::string(kTexts[arg % kTexts.size()]));
          break;
        case 7:
          if (arg == 0) {
            Pull();
          } else if (arg == 1) {
            if (!lastWritten_.empty()) Arrive(lastWritten_);
          } else if (arg < 16) {
            const auto data = take(4);
            if (!data) return;
            if (const auto reply = MadeReply(arg % 3, *data)) Arrive(*reply);
          } else {
            const auto fill = next();
            if (!fill) return;
            Arrive(Bytes((arg - 15) * 64U, *fill));
          }
          break;
      }
    }
  }

 private:
  // The awaited step as the oracle follows it: the step sent last that awaits a reply, while it
  // is still the pending one and the line has not been lost since.
  struct Awaited {
    StepId step;
    Bytes request;
    Bytes arrived;  // every byte since the request, in order (capped)
    bool answered = false;
    bool echoing = false;  // the line was known to echo when the request went out
  };

  // The request sent last: every reply is judged against it. None after a press that sent
  // nothing.
  std::optional<StepId> Pending() const { return pending_; }

  bool AwaitedIsPending() const { return awaited_ && Pending() == awaited_->step; }

  // A reply built here for the pending step: the awaited one, the slave's refusal, or the
  // awaited shape from another slave.
  std::optional<Bytes> MadeReply(unsigned variant, const Bytes& d) {
    if (Pending() == StepId::kStartMeasurement && mirrorAwaits_) {
      // The start's refusal, or its echo.
      const Bytes& q = mirrorAwaits_->request;
      if (variant == 1) return WithCrc({q[0], std::uint8_t(q[1] | 0x80), d[1]});
      return q;
    }
    if (!AwaitedIsPending()) return std::nullopt;
    const Bytes& q = awaited_->request;
    const std::uint8_t slave = variant == 2 ? d[0] : q[0];
    if (variant == 1) return WithCrc({q[0] == 0 ? d[0] : q[0], std::uint8_t(q[1] | 0x80), d[1]});
    switch (awaited_->step) {
      case StepId::kConfirmAddress:
        return WithCrc({slave, 6, q[2], q[3], q[4], q[5]});
      case StepId::kQueryAddress:
        return WithCrc({d[0], 3, 2, d[1], variant == 2 ? d[2] : d[0]});
      case StepId::kReadResistance:
        return WithCrc({slave, 3, 4, d[0], d[1], d[2], d[3]});
      case StepId::kQueryVoltage:
        return WithCrc({slave, 3, 2, d[0], d[1]});
      default:
        return std::nullopt;
    }
  }

  // ---- The actions, each checked. ----

  void Arrive(const Bytes& bytes) {
    if (awaited_ && awaited_->arrived.size() < 64 * 1024) {
      awaited_->arrived.insert(awaited_->arrived.end(), bytes.begin(), bytes.end());
    }
    stream_.insert(stream_.end(), bytes.begin(), bytes.end());
    if (stream_.size() > 4 * karvello::kReceiveBufferSize) {
      stream_.erase(stream_.begin(), stream_.end() - karvello::kReceiveBufferSize);
    }
    const auto handedUp = mirror_.Feed(bytes);
    Receive([&] { line_.Receive(bytes); }, handedUp);
  }

  void Silence() {
    std::vector<Received> handedUp;
    if (auto stray = mirror_.Silence()) handedUp.push_back(std::move(*stray));
    // What still waits after the gap is the head of a reply to come, and only that. The bytes
    // waiting are the newest that arrived, less a copy of the request passed over among them.
    const std::size_t waiting = mirror_.Waiting();
    if (waiting > 0) {
      REQUIRE(mirrorAwaits_.has_value(), "bytes wait after the gap while nothing is awaited");
      REQUIRE(waiting <= stream_.size(), "more bytes wait than arrived");
      const std::span<const std::uint8_t> buffer = mirror_.WaitingBytes();
      bool head = false;
      for (std::size_t k = 0; k < buffer.size() && !head; ++k) {
        head = IsHeadStillToGrow(mirrorAwaits_->step, mirrorAwaits_->request, buffer.subspan(k));
      }
      REQUIRE(head, "after the gap, bytes that are no reply still to come are left unjudged",
              "request " + HexText(mirrorAwaits_->request) + "; waiting " + HexText(buffer));
    }
    Receive([&] { line_.FallSilent(); }, handedUp);
  }

  // Runs a receive action and checks it against what the line hands up for it (the finder's
  // verdicts, as a second finder fed the same bytes gives them).
  template <typename F>
  void Receive(F&& act, const std::vector<Received>& handedUp) {
    REQUIRE(mirror_.Waiting() <= karvello::kReceiveBufferSize, "waiting bytes exceed the buffer");
    std::vector<std::string> due;
    // A refusal of the start ends the measurement while its delay runs; nothing else that comes
    // for the start changes anything.
    bool startRefusable = Pending() == StepId::kStartMeasurement &&
                          engine_.PhaseOf(Op::kQueryResistance) == Phase::kDelaying;
    bool startRefused = false;
    for (const Received& r : handedUp) {
      REQUIRE(r.bytes.size() <= karvello::kReceiveBufferSize, "handed up beyond the buffer");
      CheckHandedUp(r);
      if (startRefusable && r.kind == Received::Kind::kRefusal) {
        due.push_back(S(kQueryFailed));
        startRefusable = false;
        startRefused = true;
        continue;
      }
      if (!AwaitedIsPending()) continue;  // nothing the pending step waits for
      const StepRule rule = RuleOf(awaited_->step);
      const Bytes& q = awaited_->request;
      if (r.kind == Received::Kind::kReply && Accepted(awaited_->step, q, r.bytes)) {
        const Op op = rule.op;
        due.push_back(ExpectedReport(op, first_[Index(op)], second_[Index(op)], r.bytes));
        awaited_->answered = true;
        continue;
      }
      if (r.kind == Received::Kind::kStray && r.bytes.size() < rule.judgedFrom) continue;
      if (awaited_->answered) continue;  // an answered step takes only another copy of its reply
      due.push_back(S(FailureOf(rule.op)));
      awaited_->answered = true;
    }
    const std::string box = texts_.AddressText();
    texts_.written.clear();
    act();
    REQUIRE(line_.Written().empty(), "bytes arriving send nothing");
    REQUIRE(texts_.written == due, "what the log shows for what the line hands up",
            Describe(handedUp, due));
    if (startRefused) {
      REQUIRE(engine_.PhaseOf(Op::kQueryResistance) == Phase::kEnded &&
                  !engine_.DelayOf(Op::kQueryResistance).IsRunning(),
              "a refused start ends the measurement: no read follows");
    }
    for (const std::string& written : texts_.written) CheckSuccess(written);
    const bool addressReport =
        !due.empty() && due.back().starts_with(kQueryOk) && awaited_->step == StepId::kQueryAddress;
    if (!addressReport) REQUIRE(texts_.AddressText() == box, "the address box is left as it was");
    AfterAction();
  }

  void CheckHandedUp(const Received& r) {
    const auto& expect = mirrorAwaits_;
    REQUIRE(expect.has_value(), "bytes handed up while nothing is awaited", HexText(r.bytes));
    const StepId step = expect->step;
    const Bytes& q = expect->request;
    switch (r.kind) {
      case Received::Kind::kReply:
        REQUIRE(IsRightReply(step, q, r.bytes), "a reply handed up is whole, right and asked for",
                HexText(q) + " -> " + HexText(r.bytes));
        break;
      case Received::Kind::kRefusal:
        REQUIRE(IsRefusalHead(step, q, r.bytes) && CrcRight(r.bytes),
                "a refusal handed up is the slave's, whole, its CRC right",
                HexText(q) + " -> " + HexText(r.bytes));
        break;
      case Received::Kind::kCorrupt: {
        const bool replyShape =
            r.bytes.size() == RuleOf(step).replyLength && HeadFits(step, q, r.bytes);
        REQUIRE((replyShape || IsRefusalHead(step, q, r.bytes)) && !CrcRight(r.bytes),
                "a corrupt reply has the awaited head and length and a wrong CRC",
                HexText(q) + " -> " + HexText(r.bytes));
        break;
      }
      case Received::Kind::kStray:
        REQUIRE(!r.bytes.empty(), "stray bytes handed up are some bytes");
        break;
    }
  }

  // Apart from the chain above: what a success report may show.
  void CheckSuccess(const std::string& written) {
    if (!written.starts_with(kSetOk) && !written.starts_with(kQueryOk)) return;
    REQUIRE(AwaitedIsPending(), "a success while no reply is awaited", written);
    const Awaited& a = *awaited_;
    const auto reply = ReplyShown(written);
    REQUIRE(reply.has_value(), "a success report shows its reply", written);
    REQUIRE(IsRightReply(a.step, a.request, *reply) && Accepted(a.step, a.request, *reply),
            "a success report for a reply that is not a whole right-CRC reply from the slave asked",
            HexText(a.request) + "\n" + written);
    REQUIRE(Occurrences(a.arrived, *reply) > 0, "a success report shows bytes that never came",
            written);
    if (a.step == StepId::kConfirmAddress && a.echoing && *reply == a.request &&
        a.arrived.size() >= a.request.size() &&
        std::equal(a.request.begin(), a.request.end(), a.arrived.begin())) {
      REQUIRE(Occurrences(a.arrived, *reply) >= 2,
              "on an echoing line the confirmation's own copy made a success", written);
    }
  }

  void Press(Operation operation) {
    const std::string box = texts_.AddressText();
    texts_.written.clear();
    told_.clear();
    line_.ForgetCalls();
    presenter_.Press(operation);
    const auto& written = line_.Written();
    REQUIRE(written.size() <= 1, "one press writes at most one frame");
    // A press that sends nothing leaves nothing to judge what arrives against.
    auto notSent = [&](std::string_view failure, const char* what) {
      REQUIRE(written.empty() && texts_.written == std::vector{S(failure)}, what, box);
      pending_.reset();
      awaited_.reset();
    };
    switch (operation) {
      case Op::kSetAddress: {
        const auto address = WholeAddress(box);
        if (!address) {
          notSent(kSetFailed, "set address without a whole address 1 to 255 fails, sends nothing");
          break;
        }
        REQUIRE(texts_.written.empty(), "the address broadcast writes nothing to the log");
        setAddress_ = *address;
        Sent(StepId::kBroadcastAddress, WithCrc({0, 6, 0, 0x12, 0, *address}));
        break;
      }
      case Op::kQueryAddress:
        REQUIRE(texts_.written.empty(), "the address query writes nothing to the log");
        Sent(StepId::kQueryAddress, {0x00, 0x03, 0x00, 0x12, 0x00, 0x01, 0x25, 0xDE});
        break;
      case Op::kQueryResistance:
        if (karvello::NumericValue(box) == 0) {
          notSent(kQueryFailed, "a measurement without an address value fails at once");
          break;
        }
        REQUIRE(texts_.written == std::vector{S(kMeasuring)},
                "a measurement start shows 测试中...");
        resistanceSlave_ = karvello::SlaveAddress(box);
        Sent(StepId::kStartMeasurement, WithCrc({resistanceSlave_, 6, 0, 0x11, 0, 1}));
        break;
      case Op::kQueryVoltage:
        REQUIRE(texts_.written.empty(), "the voltage query writes nothing to the log");
        Sent(StepId::kQueryVoltage, WithCrc({karvello::SlaveAddress(box), 3, 0, 0x0F, 0, 1}));
        break;
      default:  // the survey's operations: no button presses them
        break;
    }
    AfterAction();
  }

  // The frame just written must be `frame`, sent by `step`, which is now pending: the engine told
  // it, and the operation waits out its delay or awaits the reply.
  void Sent(StepId step, const Bytes& frame) {
    const auto& written = line_.Written();
    REQUIRE(
        written.size() == 1 && written.back() == frame, "the step's own frame is sent",
        HexText(frame) + (written.empty() ? " (nothing sent)" : " / " + HexText(written.back())));
    const StepRule rule = RuleOf(step);
    const std::size_t index = IsSecond(step) ? 1 : 0;
    const Told told{rule.op, index};
    REQUIRE(told_.size() == 1 && told_[0] == told, "the engine tells the request it sent");
    REQUIRE(engine_.PhaseOf(rule.op) == (rule.awaits ? Phase::kAwaiting : Phase::kDelaying),
            "after its request an operation awaits the reply, or waits out its delay");
    pending_ = step;
    (IsSecond(step) ? second_ : first_)[Index(rule.op)] = frame;
    lastWritten_ = frame;
    stream_.clear();
    const bool searched = rule.awaits || rule.heedsRefusal;
    mirror_.Expect(frame, searched ? std::optional(karvello::ReplyShape::For(
                                         ToRequest(frame), step == StepId::kQueryAddress))
                                   : std::nullopt);
    mirrorAwaits_.reset();
    awaited_.reset();
    if (searched) mirrorAwaits_ = MirrorAwaits{step, frame};
    if (rule.awaits) awaited_ = Awaited{step, frame, {}, false, line_.Echoing()};
  }

  const Deadline& DeadlineOf(Operation operation, bool delay) const {
    return delay ? engine_.DelayOf(operation) : engine_.TimeoutOf(operation);
  }

  // The durations the deadlines keep: every reply within 1.3 s, the confirmation 0.3 s after the
  // broadcast, the read 19 s after the measurement's start; the others have no delay.
  static std::chrono::milliseconds DurationOf(Operation operation, bool delay) {
    using std::chrono::milliseconds;
    if (!delay) return milliseconds(1300);
    if (operation == Op::kSetAddress) return milliseconds(300);
    if (operation == Op::kQueryResistance) return milliseconds(19000);
    return milliseconds(0);
  }

  // A second of a deadline passes, as its ticker would tell it.
  void Second(Operation operation, bool delay) {
    const Deadline& deadline = DeadlineOf(operation, delay);
    if (!deadline.IsRunning()) return;  // a timer that is off does not tick
    const auto elapsed = deadline.Elapsed();
    texts_.written.clear();
    line_.ForgetCalls();
    if (delay) engine_.PassSecond(operation);
    REQUIRE(
        !delay || (deadline.IsRunning() && deadline.Elapsed() == elapsed + std::chrono::seconds(1)),
        "a second of a deadline counts");
    REQUIRE(texts_.written.empty() && line_.Written().empty(), "a second passing does nothing");
    if (delay) {
      REQUIRE(engine_.ProgressOf(operation).elapsed == deadline.Elapsed(),
              "the progress counts the delay's seconds");
    }
    AfterAction();
  }

  // A deadline runs out now (as its timer would at its time).
  void RunOut(Operation operation, bool delay) {
    const Deadline& deadline = DeadlineOf(operation, delay);
    REQUIRE(deadline.Duration() == DurationOf(operation, delay), "a deadline's duration");
    const bool running = deadline.IsRunning();
    const std::optional<StepId> pendingBefore = Pending();
    texts_.written.clear();
    told_.clear();
    line_.ForgetCalls();
    engine_.RunOut(operation, delay ? Engine::Wait::kDelay : Engine::Wait::kTimeout);
    // The guard after a time-out passes at once, nothing held yet: the model sends each press
    // as it comes.
    if (engine_.Guard().IsRunning()) engine_.RunOutGuard();
    REQUIRE(!deadline.IsRunning(), "a deadline that runs out stops");
    if (!running) {
      REQUIRE(texts_.written.empty() && line_.Written().empty(),
              "a deadline that is off does not run out");
    } else if (!delay) {
      REQUIRE(texts_.written == std::vector{S(FailureOf(operation))},
              "a time-out shows its failure");
      REQUIRE(line_.Written().empty(), "a time-out sends nothing");
      REQUIRE(Pending() == pendingBefore, "a time-out leaves the pending step");
      REQUIRE(engine_.PhaseOf(operation) != Phase::kAwaiting, "a time-out ends the awaiting");
      if (AwaitedIsPending() && RuleOf(awaited_->step).op == operation) awaited_->answered = true;
    } else {
      REQUIRE(texts_.written.empty(), "a delay that runs out writes nothing");
      if (operation == Op::kSetAddress) {
        Sent(StepId::kConfirmAddress, WithCrc({setAddress_, 6, 0, 0x12, 0, setAddress_}));
      } else {
        Sent(StepId::kReadResistance, WithCrc({resistanceSlave_, 3, 0, 0x0D, 0, 2}));
      }
    }
    AfterAction();
  }

  void Pull() {
    // Each operation with a deadline running is in flight and fails at once, with its text.
    std::vector<std::string> due;
    std::vector<Operation> inFlight;
    for (Operation operation : karvello::kOperations) {
      if (DeadlineOf(operation, false).IsRunning() || DeadlineOf(operation, true).IsRunning()) {
        inFlight.push_back(operation);
        due.push_back(S(FailureOf(operation)));
      }
    }
    texts_.written.clear();
    line_.Pull();
    auto shown = texts_.written;
    std::sort(due.begin(), due.end());
    std::sort(shown.begin(), shown.end());
    REQUIRE(shown == due, "a lost line fails each operation in flight at once, and no other");
    for (Operation operation : karvello::kOperations) {
      REQUIRE(!DeadlineOf(operation, false).IsRunning() && !DeadlineOf(operation, true).IsRunning(),
              "a lost line stops every deadline");
    }
    for (Operation operation : inFlight) {
      REQUIRE(engine_.PhaseOf(operation) == Phase::kEnded, "a lost line ends what was in flight");
    }
    REQUIRE(!line_.IsOpen(), "a lost line is closed");
    mirror_.Reset();
    stream_.clear();
    mirrorAwaits_.reset();
    awaited_.reset();
    // The port chosen again once the device is back.
    line_.SetAvailable({1});
    REQUIRE(line_.Open(1), "the port opens again");
    AfterAction();
  }

  void AfterAction() {
    line_.ForgetCalls();  // the fake's record would otherwise grow over the whole input
    REQUIRE(IsKnownShape(texts_.LogText()), "log text of an unknown shape", texts_.LogText());
    REQUIRE(line_.HasWaiting() == mirror_.HasWaiting(), "the line and its mirror wait alike");
    if (awaited_ && !AwaitedIsPending()) awaited_.reset();
  }

  static bool IsSecond(StepId step) {
    return step == StepId::kConfirmAddress || step == StepId::kReadResistance;
  }
  static std::size_t Index(Op op) { return static_cast<std::size_t>(op); }
  static karvello::RequestFrame ToRequest(const Bytes& frame) {
    karvello::RequestFrame out{};
    std::copy(frame.begin(), frame.end(), out.begin());
    return out;
  }

  std::string Describe(const std::vector<Received>& handedUp, const std::vector<std::string>& due) {
    std::string out = "pending request: " + (awaited_ ? HexText(awaited_->request) : "none") + "\n";
    for (const Received& r : handedUp) {
      out += "handed up (kind " + std::to_string(static_cast<int>(r.kind)) +
             "): " + HexText(r.bytes) + "\n";
    }
    out += "due:\n";
    for (const auto& d : due) out += "  [" + d + "]\n";
    out += "written:\n";
    for (const auto& w : texts_.written) out += "  [" + w + "]\n";
    return out;
  }

  struct MirrorAwaits {
    StepId step;
    Bytes request;
  };
  // A request the engine told it sent.
  struct Told {
    Operation operation;
    std::size_t index;
    bool operator==(const Told&) const = default;
  };

  karvello::FakeSerialLine line_;
  karvello::testing::LogRecordingTexts texts_;
  karvello::Engine engine_{line_};
  karvello::Presenter presenter_{engine_, texts_};
  std::optional<StepId> pending_;
  std::vector<Told> told_;
  // A second finder fed what the line is fed: it tells what the line hands up.
  karvello::ReplyFinder mirror_;
  std::optional<MirrorAwaits> mirrorAwaits_;
  Bytes stream_;  // the bytes fed to the mirror since its last request (the newest kept)
  std::optional<Awaited> awaited_;
  std::array<Bytes, 4> first_{};
  std::array<Bytes, 4> second_{};
  Bytes lastWritten_;
  std::uint8_t setAddress_ = 0;
  std::uint8_t resistanceSlave_ = 0;
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
  // KARVELLO_FUZZ_TRACE=1 shows the log text an input ends with (for reading a finding).
  static const bool trace = std::getenv("KARVELLO_FUZZ_TRACE") != nullptr;
  if (trace) std::fprintf(stderr, "log: [%s]\n", run.LogText().c_str());
  return 0;
}
