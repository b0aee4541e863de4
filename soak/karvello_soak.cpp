// karvello-soak: runs many operations of all four kinds through the tool's own serial line
// (QtSerialLine), engine and presenter (the window's behaviour without its widgets), over a
// pseudo-terminal, against the simulated detector, with faults injected at random into the
// detector's replies; checks every outcome and watches the resident memory.
//
//   karvello-soak [--ops N] [--seed S] [--fault-percent P] [--quiet]
//
// Every outcome must be either the exact report for what the detector holds (computed here from
// the detector's settings, apart from the tool's report code) or the operation's failure text.
// A success with any other text is a wrong success, the one outcome that must never happen; so is
// an outcome the engine hands up as answered whose value is not what the detector holds.
// Faults that spoil the reply (a bit flip, truncation, no reply, another slave's answer, a
// refusal) are due to fail; faults that leave a good reply on the line (a split, stray bytes in
// front, a pause longer than the 50 ms gap inside, noise after it, a trickle, a second copy, a
// line that echoes the tool's requests) are due to succeed.
//
// The line is real: every request and reply crosses the pseudo-terminal, and replies are found
// and judged by the tool as on a serial port. Only the engine's long deadlines are shortened: the
// 0.3 s delay before the address confirmation and the 19 s measurement delay are run out
// (Deadline::Expire) once the first request has been answered, and an operation whose reply does
// not come within 250 ms has its 1.3 s time-out run out the same way. The detector's measurement
// time is 0, so the reading it returns is the one it holds when the read comes.
//
// Exit status: 0 when every outcome was right and the memory grew by less than 1 MiB after the
// warm-up, 1 otherwise.

#include <QCoreApplication>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "serial/port_map.h"
#include "serial/qt_serial_line.h"
#include "sim/simulated_detector.h"
#include "support/event_loop.h"
#include "support/expected_resistance.h"
#include "support/hex_bytes.h"
#include "support/recording_texts.h"
#include "support/resident_memory.h"
#include "ui/log_texts.h"
#include "ui/presenter.h"

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif
namespace karvello::soak {
namespace {

using namespace std::chrono_literals;
using sim::Fault;
using sim::SimulatedDetector;
using testing::HexText;
using testing::LogRecordingTexts;
using testing::ResidentKiB;
using testing::SpinUntil;
using testing::WithCrc;
using Bytes = std::vector<std::uint8_t>;
using SteadyClock = std::chrono::steady_clock;

// ---- The expected reports, built from the detector's settings alone. ----

std::uint8_t Hi(unsigned v) {
  return static_cast<std::uint8_t>((v >> 8) & 0xFF);
}
std::uint8_t Lo(unsigned v) {
  return static_cast<std::uint8_t>(v & 0xFF);
}

std::string Line(std::string_view label, const std::string& rest) {
  return std::string(label) + rest + std::string(text::kLineEnd);
}

std::string QueryAddressReport(std::uint8_t address) {
  return Line(text::kQuerySucceeded, "") +
         Line(text::kSend, HexText(WithCrc({0x00, 0x03, 0x00, 0x12, 0x00, 0x01}))) +
         Line(text::kReceive, HexText(WithCrc({address, 0x03, 0x02, 0x00, address}))) +
         std::string(text::kAddressResult) + std::to_string(address);
}

std::string VoltageReport(std::uint8_t address, unsigned volts) {
  return Line(text::kQuerySucceeded, "") +
         Line(text::kSend, HexText(WithCrc({address, 0x03, 0x00, 0x0F, 0x00, 0x01}))) +
         Line(text::kReceive, HexText(WithCrc({address, 0x03, 0x02, Hi(volts), Lo(volts)}))) +
         std::string(text::kVoltageResult) + std::to_string(volts) + std::string(text::kVolts);
}

std::string SetAddressReport(std::uint8_t address) {
  const Bytes confirm = WithCrc({address, 0x06, 0x00, 0x12, 0x00, address});
  return Line(text::kSetSucceeded, "") +
         Line(text::kSend1, HexText(WithCrc({0x00, 0x06, 0x00, 0x12, 0x00, address}))) +
         Line(text::kSend2, HexText(confirm)) + std::string(text::kReceiveOfTwo) + HexText(confirm);
}

std::string ResistanceReport(std::uint8_t address, const sim::DetectorConfig& c) {
  return Line(text::kQuerySucceeded, "") +
         Line(text::kSend1, HexText(WithCrc({address, 0x06, 0x00, 0x11, 0x00, 0x01}))) +
         Line(text::kSend2, HexText(WithCrc({address, 0x03, 0x00, 0x0D, 0x00, 0x02}))) +
         Line(text::kReceiveOfTwo,
              HexText(WithCrc({address, 0x03, 0x04, Hi(c.resistance), Lo(c.resistance),
                               c.decimalHigh, c.decimalCount}))) +
         std::string(text::kResistanceResult) +
         testing::ExpectedResistanceText(c.resistance, c.decimalCount) + std::string(text::kOhms);
}

// ---- The run. ----

const char* const kKindNames[] = {"set address", "query address", "query resistance",
                                  "query voltage"};

// The faults; the first kSucceeding of them leave a good reply on the line.
enum class Injected {
  kNone,
  kSplit,
  kStray,
  kLongPause,
  kNoiseAfter,
  kTrickle,
  kTwice,
  kEchoingLine,
  kBitFlip,
  kTruncate,
  kNoReply,
  kWrongAddress,
  kRefusal,
};
constexpr int kSucceeding = 8;  // kNone to kEchoingLine
constexpr int kFaultKinds = 12;
const char* const kInjectedNames[] = {
    "none",    "split",    "stray bytes", "pause > gap", "noise after",   "trickle", "twice",
    "echoing", "bit flip", "truncation",  "no reply",    "wrong address", "refusal"};

struct Options {
  long ops = 10000;
  unsigned seed = 1;
  int faultPercent = 1;  // for each of the twelve faults
  bool quiet = false;
};

class Soak {
 public:
  explicit Soak(const Options& options) : options_(options), random_(options.seed) {}

  int Run() {
    const long rssStart = ResidentKiB();
    Connect(std::make_unique<SimulatedDetector>(
        sim::DetectorConfig{.address = 1, .measurementTime = 0ms}));
    line_ = std::make_unique<QtSerialLine>(map_);
    engine_ = std::make_unique<Engine>(*line_);
    presenter_ = std::make_unique<Presenter>(*engine_, texts_);
    presenter_->SetOnOutcome([this](const Outcome& outcome) { outcomes_.push_back(outcome); });
    if (!line_->Open(LineAddress::Port(1))) {
      std::fprintf(stderr, "the simulated detector's port does not open\n");
      return 1;
    }
    texts_.SetAddressText("1");

    const long warmUp = std::min<long>(1000, std::max<long>(50, options_.ops / 10));
    long rssWarm = -1;
    const auto started = SteadyClock::now();
    for (long n = 0; n < options_.ops; ++n) {
      if (n > 0 && n % kOpsPerDetector == 0) Replace();
      RunOne(n);
      if (n + 1 == warmUp) rssWarm = ResidentKiB();
    }
    const double seconds = std::chrono::duration<double>(SteadyClock::now() - started).count();
    const long rssEnd = ResidentKiB();
    if (rssWarm < 0) rssWarm = rssEnd;

    std::printf("karvello-soak: %ld operations in %.1f s (seed %u, %d %% of each fault)\n",
                options_.ops, seconds, options_.seed, options_.faultPercent);
    std::printf("%-18s %-14s %9s %9s %9s\n", "operation", "fault", "success", "failure", "WRONG");
    long wrong = 0;
    long unexpected = 0;
    for (const auto& [key, count] : counts_) {
      std::printf("%-18s %-14s %9ld %9ld %9ld\n", kKindNames[key.first], kInjectedNames[key.second],
                  count.success, count.failure, count.wrong);
      wrong += count.wrong;
      unexpected += count.unexpected;
    }
    std::printf("wrong successes: %ld; outcomes other than the one due: %ld\n", wrong, unexpected);
    const long drift = rssEnd - rssWarm;
    std::printf(
        "resident memory: start %ld KiB, after %ld operations %ld KiB, end %ld KiB "
        "(drift after warm-up %+ld KiB)\n",
        rssStart, warmUp, rssWarm, rssEnd, drift);
    // AddressSanitizer keeps freed memory in quarantine, so resident memory says nothing about
    // drift in such a build: the check is left to the plain build.
    bool memoryOk = drift < 1024;
    if (kSanitized) {
      std::printf("(sanitizer build: the memory drift is not judged)\n");
      memoryOk = true;
    }
    if (!memoryOk) std::printf("resident memory grew by 1 MiB or more after the warm-up\n");
    return wrong == 0 && unexpected == 0 && memoryOk ? 0 : 1;
  }

 private:
  static constexpr long kOpsPerDetector = 250;

  struct Count {
    long success = 0;
    long failure = 0;
    long wrong = 0;
    long unexpected = 0;
  };

  void Connect(std::unique_ptr<SimulatedDetector> detector) {
    detector_ = std::move(detector);
    map_.Set(1, detector_->SlavePath());
  }

  // A fresh detector (with the same settings) on a new terminal at the same port number, which
  // is opened again; this also keeps the simulator's own exchange log short.
  void Replace() {
    const sim::DetectorConfig config = detector_->Config();
    detector_.reset();
    Connect(std::make_unique<SimulatedDetector>(config));
    if (!line_->Open(LineAddress::Port(1))) {
      std::fprintf(stderr, "the port did not reopen on the new terminal\n");
      std::exit(1);
    }
  }

  void Pump(std::chrono::milliseconds d) {
    const auto until = SteadyClock::now() + d;
    while (SteadyClock::now() < until) {
      QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
    }
  }

  int Uniform(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(random_); }

  Fault MakeFault(Injected injected, std::size_t replyLength, std::uint8_t address) {
    switch (injected) {
      case Injected::kBitFlip:
        return Fault::FlipBits(static_cast<std::size_t>(Uniform(0, int(replyLength) - 1)),
                               static_cast<std::uint8_t>(1U << Uniform(0, 7)));
      case Injected::kSplit: {
        std::vector<std::size_t> cuts(static_cast<std::size_t>(Uniform(1, 3)));
        for (auto& cut : cuts) cut = static_cast<std::size_t>(Uniform(1, 3));
        // Pauses under the 50 ms frame gap.
        return Fault::Split(std::move(cuts), std::chrono::milliseconds(Uniform(1, 8)));
      }
      case Injected::kStray: {
        std::vector<std::uint8_t> stray(static_cast<std::size_t>(Uniform(1, 3)));
        for (auto& b : stray) b = static_cast<std::uint8_t>(Uniform(0, 255));
        return Fault::Stray(std::move(stray));
      }
      case Injected::kLongPause:
        // At least two bytes of the head first: a reply's head waits for its rest however long
        // the pause (a lone byte is a head only when it names the slave asked).
        return Fault::PauseAfter(static_cast<std::size_t>(Uniform(2, int(replyLength) - 1)),
                                 std::chrono::milliseconds(Uniform(60, 120)));
      case Injected::kNoiseAfter: {
        std::vector<std::uint8_t> noise(static_cast<std::size_t>(Uniform(1, 3)));
        for (auto& b : noise) b = static_cast<std::uint8_t>(Uniform(0, 255));
        if (Uniform(0, 1) == 0) noise = {address, 0x03, 0x02};  // the head of another reply
        return Fault::NoiseAfter(std::move(noise), std::chrono::milliseconds(Uniform(0, 20)));
      }
      case Injected::kTrickle:
        return Fault::Trickle();
      case Injected::kTwice:
        return Fault::Twice(std::chrono::milliseconds(Uniform(0, 20)));
      case Injected::kRefusal:
        return Fault::Exception(static_cast<std::uint8_t>(Uniform(1, 4)));
      case Injected::kTruncate:
        return Fault::Truncate(static_cast<std::size_t>(Uniform(1, int(replyLength) - 1)));
      case Injected::kNoReply:
        return Fault::NoReply();
      case Injected::kWrongAddress: {
        std::uint8_t other = address;
        while (other == address) other = static_cast<std::uint8_t>(Uniform(1, 255));
        return Fault::FromAddress(other);
      }
      case Injected::kNone:
      case Injected::kEchoingLine:  // the line, not the reply
        break;
    }
    return {};
  }

  void RunOne(long n) {
    const Operation kind = kOperations[Uniform(0, 3)];
    const int roll = Uniform(0, 99);
    const Injected injected = roll < kFaultKinds * options_.faultPercent
                                  ? static_cast<Injected>(1 + roll / options_.faultPercent)
                                  : Injected::kNone;

    // What the detector holds this time.
    detector_->SetVoltage(static_cast<std::uint16_t>(Uniform(0, 65535)));
    const int decimalsRoll = Uniform(0, 9);
    const auto decimals =
        static_cast<std::uint8_t>(decimalsRoll < 9 ? decimalsRoll % 3 : Uniform(3, 255));
    detector_->SetResistance(static_cast<std::uint16_t>(Uniform(0, 65535)), decimals,
                             static_cast<std::uint8_t>(Uniform(0, 3) == 0 ? Uniform(0, 255) : 0));
    std::uint8_t address = detector_->Address();
    if (kind == Operation::kSetAddress) address = static_cast<std::uint8_t>(Uniform(1, 255));
    if (kind != Operation::kQueryAddress) texts_.SetAddressText(std::to_string(address));

    std::string expected;
    const sim::DetectorConfig config = detector_->Config();
    std::size_t replyLength = 7;
    Reading value{.number = config.voltage};
    std::string failure(text::kQueryFailed);
    switch (kind) {
      case Operation::kSetAddress:
        expected = SetAddressReport(address);
        replyLength = 8;
        value = {.number = address};
        failure = std::string(text::kSetFailed);
        break;
      case Operation::kQueryAddress:
        expected = QueryAddressReport(address);
        value = {.number = address};
        break;
      case Operation::kQueryResistance:
        expected = ResistanceReport(address, config);
        replyLength = 9;
        value = {.number = config.resistance,
                 .decimals = config.decimalCount,
                 .overRange = config.decimalCount > 2};
        break;
      default:  // the voltage; the soak presses the four buttons only
        expected = VoltageReport(address, config.voltage);
        break;
    }
    const Fault fault = MakeFault(injected, replyLength, address);
    texts_.written.clear();
    outcomes_.clear();

    // The press, and for two-step operations the first step taken by the detector before the
    // wait is run through; the fault spoils the reply the operation waits for.
    const std::size_t before = detector_->ExchangeCount();
    const bool twoSteps = Describe(kind).count == 2;
    const bool echoing = injected == Injected::kEchoingLine;
    detector_->SetEcho(echoing);
    const bool spoils = injected != Injected::kNone && !echoing;
    if (!twoSteps && spoils) detector_->SetFault(fault, 1);
    presenter_->Press(kind);
    if (twoSteps) {
      // The event loop runs meanwhile: a request waits on it for the silence between frames.
      if (!SpinUntil([&] { return detector_->WaitForExchanges(before + 1, 0ms); }, 1000ms, 1ms))
        Abort(n, "the first request was lost");
      // The echo of the measurement start (and on an echoing line the copy of the first request)
      // is in and dropped before the second request goes out, as 0.3 s or 19 s later.
      Pump(kind == Operation::kQueryResistance || echoing ? 12ms : 1ms);
      if (spoils) detector_->SetFault(fault, 1);
      engine_->RunOut(kind, Engine::Wait::kDelay);
    }

    // The end: a reply at once, or the time-out run through. A reply that is due is given all
    // the time a loaded machine may need; one that is spoilt or missing, 250 ms.
    const bool successDue = static_cast<int>(injected) < kSucceeding;
    auto ended = [&] { return !engine_->InFlight(kind); };
    if (!SpinUntil(ended, successDue ? 1000ms : 250ms, 1ms)) {
      engine_->RunOut(kind, Engine::Wait::kTimeout);
      // The guard after the time-out passes at once, as the time-out did.
      if (engine_->Guard().IsRunning()) engine_->RunOutGuard();
    }
    if (!ended()) Abort(n, "the operation did not end at its time-out");
    if (injected != Injected::kNone) {
      // What a fault leaves behind (the rest of a reply cut short, noise after it, a second
      // copy) comes in and is judged by the step that is still pending: it may show the same
      // report again, and must not replace it with a failure.
      detector_->ClearFault();
      Pump(60ms);
      detector_->SetEcho(false);
      // An adapter that hears itself does not stop doing so while its port is open: the next
      // operation, on a plain adapter, opens the port afresh, as a swap of adapters does.
      if (echoing && !line_->Open(LineAddress::Port(1))) Abort(n, "the port did not reopen");
    }
    const std::string shown = texts_.LogText();

    // The verdict.
    Count& count = counts_[{static_cast<int>(kind), static_cast<int>(injected)}];
    bool wrong = false;
    for (const auto& text : texts_.written) {
      // Every text ever written is the failure text, the measuring notice or the whole true
      // report (one write).
      if (text != failure && text != text::kMeasuring && text != expected) wrong = true;
    }
    // And every outcome is of this operation; one answered carries what the detector holds.
    for (const Outcome& outcome : outcomes_) {
      if (outcome.operation != kind) wrong = true;
      if (outcome.result == Result::kAnswered && outcome.value != value) wrong = true;
    }
    if (shown == expected) {
      ++count.success;
      if (!successDue) ++count.unexpected;
    } else if (shown == failure) {
      ++count.failure;
      if (successDue) ++count.unexpected;
    } else {
      wrong = true;
    }
    if (wrong) {
      ++count.wrong;
      std::fprintf(stderr,
                   "operation %ld (%s, fault %s): WRONG outcome\n  shown: %s\n  due:   %s\n", n,
                   kKindNames[static_cast<int>(kind)], kInjectedNames[static_cast<int>(injected)],
                   shown.c_str(), expected.c_str());
    } else if ((shown == expected) != successDue && !options_.quiet) {
      std::fprintf(stderr, "operation %ld (%s, fault %s): %s where %s was due\n", n,
                   kKindNames[static_cast<int>(kind)], kInjectedNames[static_cast<int>(injected)],
                   shown.c_str(), successDue ? "success" : "failure");
    }
    // A query that found the address put it into the box for the next operations; one that
    // failed leaves the box as it was.
    if (kind == Operation::kQueryAddress)
      texts_.SetAddressText(std::to_string(detector_->Address()));
  }

  [[noreturn]] void Abort(long n, const char* what) {
    std::fprintf(stderr, "operation %ld: %s\n", n, what);
    std::exit(1);
  }

  Options options_;
  std::mt19937 random_;
  FixedPortMap map_;
  std::unique_ptr<SimulatedDetector> detector_;
  LogRecordingTexts texts_;
  std::unique_ptr<QtSerialLine> line_;
  std::unique_ptr<Engine> engine_;
  std::unique_ptr<Presenter> presenter_;
  std::vector<Outcome> outcomes_;
  std::map<std::pair<int, int>, Count> counts_;
};

}  // namespace
}  // namespace karvello::soak

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  karvello::soak::Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> long {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "%s needs a value\n", arg.c_str());
        std::exit(2);
      }
      return std::strtol(argv[++i], nullptr, 10);
    };
    if (arg == "--ops") {
      options.ops = value();
    } else if (arg == "--seed") {
      options.seed = static_cast<unsigned>(value());
    } else if (arg == "--fault-percent") {
      options.faultPercent = static_cast<int>(value());
    } else if (arg == "--quiet") {
      options.quiet = true;
    } else if (arg == "--help" || arg == "-h") {
      std::printf(
          "usage: karvello-soak [--ops N] [--seed S] [--fault-percent P] [--quiet]\n"
          "Runs N operations (default 10000) of all four kinds through the tool's serial line,\n"
          "engine and presenter against the simulated detector on a pseudo-terminal, with each of\n"
          "twelve faults in P %% of them (default 1, at most 8), chosen with seed S (default 1).\n"
          "Prints the outcomes by operation and fault; exits 0 when there was no wrong success,\n"
          "no outcome other than the one due and no memory growth of 1 MiB after the warm-up.\n"
          "--quiet leaves out the line for each outcome other than the one due.\n");
      return 0;
    } else {
      std::fprintf(stderr,
                   "usage: karvello-soak [--ops N] [--seed S] [--fault-percent P] [--quiet]\n");
      return 2;
    }
  }
  if (options.ops <= 0 || options.faultPercent < 0 || options.faultPercent > 8) {
    std::fprintf(stderr, "--ops must be positive and --fault-percent 0 to 8\n");
    return 2;
  }
  return karvello::soak::Soak(options).Run();
}
