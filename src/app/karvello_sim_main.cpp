// karvello-sim: the simulated detector as a program of its own. It serves a pseudo-terminal that
// it makes (and whose path it prints), or a serial device it is given (a real port wired to the
// tool's port by a null-modem cable, one end of a virtual pair), and prints every frame it
// receives and sends, in hexadecimal, with the time of day to the millisecond.

#include <signal.h>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QRegularExpression>
#include <QStringList>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim/serial_device.h"
#include "sim/simulated_detector.h"

namespace {

using karvello::sim::Clock;
using karvello::sim::DetectorConfig;
using karvello::sim::Exchange;
using karvello::sim::Fault;
using karvello::sim::SimulatedDetector;
using namespace std::chrono_literals;

volatile std::sig_atomic_t stopRequested = 0;

extern "C" void OnStopSignal(int) {
  stopRequested = 1;
}

// A wrong option: the message goes to standard error and the program ends with status 1.
struct UsageError {
  std::string message;
};

long Whole(const QCommandLineParser& parser, const QString& name, long low, long high) {
  bool ok = false;
  const long value = parser.value(name).trimmed().toLong(&ok, 10);
  if (!ok || value < low || value > high) {
    throw UsageError{"--" + name.toStdString() + " takes a whole number from " +
                     std::to_string(low) + " to " + std::to_string(high) + ", not \"" +
                     parser.value(name).toStdString() + "\""};
  }
  return value;
}

// A list such as "3,2" or "00 FF": numbers separated by commas or blanks, each low..high, in
// decimal, or hexadecimal where `hex`.
std::vector<long> WholeList(const QCommandLineParser& parser, const QString& name, long low,
                            long high, bool hex) {
  std::vector<long> values;
  const QString text = parser.value(name);
  for (const QString& item : text.split(QRegularExpression("[,\\s]+"), Qt::SkipEmptyParts)) {
    bool ok = false;
    const long value = item.toLong(&ok, hex ? 16 : 10);
    if (!ok || value < low || value > high) {
      throw UsageError{"--" + name.toStdString() + ": \"" + item.toStdString() +
                       "\" is not a number from " + std::to_string(low) + " to " +
                       std::to_string(high)};
    }
    values.push_back(value);
  }
  if (values.empty()) throw UsageError{"--" + name.toStdString() + " needs at least one number"};
  return values;
}

// A hexadecimal byte list option, or `fallback` when it is not given.
std::vector<std::uint8_t> Bytes(const QCommandLineParser& parser, const QString& name,
                                std::vector<std::uint8_t> fallback) {
  if (!parser.isSet(name)) return fallback;
  std::vector<std::uint8_t> bytes;
  for (long b : WholeList(parser, name, 0, 255, true))
    bytes.push_back(static_cast<std::uint8_t>(b));
  return bytes;
}

// Kinds that are the line's own ways rather than spoilt replies: they hold for every request.
bool IsLineKind(const std::string& kind) {
  return kind == "echo" || kind == "echo-only";
}

struct Setup {
  DetectorConfig config;
  std::optional<Fault> fault;
  std::string faultName;
  int faultTimes = SimulatedDetector::kPersistent;
  std::string device;
};

Fault MakeFault(const QCommandLineParser& parser, const std::string& kind, std::uint8_t address) {
  const auto pause = [&](long fallback) {
    return parser.isSet("fault-pause-ms")
               ? std::chrono::milliseconds(Whole(parser, "fault-pause-ms", 0, 60'000))
               : std::chrono::milliseconds(fallback);
  };
  if (kind == "no-reply") return Fault::NoReply();
  if (kind == "bad-crc") return Fault::BadCrc();
  if (kind == "truncate") {
    return Fault::Truncate(parser.isSet("truncate-by")
                               ? static_cast<std::size_t>(Whole(parser, "truncate-by", 1, 255))
                               : 2);
  }
  if (kind == "exception") {
    return Fault::Exception(parser.isSet("exception-code")
                                ? static_cast<std::uint8_t>(Whole(parser, "exception-code", 0, 255))
                                : 0x04);
  }
  if (kind == "other-address") {
    const long other =
        parser.isSet("other-address") ? Whole(parser, "other-address", 0, 255) : address % 255 + 1;
    return Fault::FromAddress(static_cast<std::uint8_t>(other));
  }
  if (kind == "extra") return Fault::Extra(Bytes(parser, "extra-bytes", {0x00}));
  if (kind == "stray") return Fault::Stray(Bytes(parser, "stray-bytes", {0x00}));
  if (kind == "noise") {
    return Fault::NoiseAfter(Bytes(parser, "noise-bytes", {0xA5, 0xA5, 0xA5}), pause(10));
  }
  if (kind == "pause") {
    return Fault::PauseAfter(parser.isSet("pause-after")
                                 ? static_cast<std::size_t>(Whole(parser, "pause-after", 1, 255))
                                 : 2,
                             pause(60));
  }
  if (kind == "trickle") return Fault::Trickle();
  if (kind == "split") {
    std::vector<std::size_t> cuts{3};
    if (parser.isSet("split-after")) {
      cuts.clear();
      for (long c : WholeList(parser, "split-after", 1, 255, false)) {
        cuts.push_back(static_cast<std::size_t>(c));
      }
    }
    return Fault::Split(std::move(cuts), pause(20));
  }
  if (kind == "twice") return Fault::Twice(pause(0));
  if (kind == "delay") return Fault::Delay(pause(2000));
  throw UsageError{"--fault: unknown kind \"" + kind +
                   "\" (no-reply, bad-crc, truncate, exception, other-address, extra, split, "
                   "twice, delay, stray, pause, noise, trickle, echo, echo-only)"};
}

Setup ReadOptions(const QCommandLineParser& parser) {
  Setup setup;
  DetectorConfig& c = setup.config;
  if (parser.isSet("address"))
    c.address = static_cast<std::uint8_t>(Whole(parser, "address", 1, 255));
  if (parser.isSet("resistance")) {
    c.resistance = static_cast<std::uint16_t>(Whole(parser, "resistance", 0, 65535));
  }
  if (parser.isSet("decimals")) {
    c.decimalCount = static_cast<std::uint8_t>(Whole(parser, "decimals", 0, 255));
  }
  if (parser.isSet("voltage"))
    c.voltage = static_cast<std::uint16_t>(Whole(parser, "voltage", 0, 65535));
  if (parser.isSet("measure-ms")) {
    c.measurementTime = std::chrono::milliseconds(Whole(parser, "measure-ms", 0, 3'600'000));
  }
  c.pacing = parser.isSet("pace");
  if (parser.isSet("fault") && IsLineKind(parser.value("fault").toStdString())) {
    setup.faultName = parser.value("fault").toStdString();
    c.echo = true;
    c.present = setup.faultName == "echo";
    if (parser.isSet("fault-times")) {
      throw UsageError{"--fault-times does not apply to " + setup.faultName +
                       ", which holds for every request"};
    }
  } else if (parser.isSet("fault")) {
    setup.faultName = parser.value("fault").toStdString();
    setup.fault = MakeFault(parser, setup.faultName, c.address);
    if (parser.isSet("stray-bytes") && setup.faultName != "stray") {
      setup.fault = setup.fault->WithStray(Bytes(parser, "stray-bytes", {}));
    }
    if (parser.isSet("fault-times")) {
      setup.faultTimes = static_cast<int>(Whole(parser, "fault-times", 1, 1'000'000));
    }
  } else {
    for (const char* name :
         {"fault-times", "truncate-by", "exception-code", "other-address", "extra-bytes",
          "split-after", "fault-pause-ms", "stray-bytes", "noise-bytes", "pause-after"}) {
      if (parser.isSet(name)) throw UsageError{std::string("--") + name + " needs --fault"};
    }
  }
  if (parser.isSet("device")) setup.device = parser.value("device").toStdString();
  return setup;
}

// The time of day of a steady-clock instant, to the millisecond.
class WallClock {
 public:
  std::string Format(Clock::time_point t) const {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t - steadyStart_);
    return QDateTime::fromMSecsSinceEpoch(wallStartMs_ + ms.count())
        .toString(QStringLiteral("hh:mm:ss.zzz"))
        .toStdString();
  }

 private:
  Clock::time_point steadyStart_ = Clock::now();
  qint64 wallStartMs_ = QDateTime::currentMSecsSinceEpoch();
};

std::string HexText(const std::vector<std::uint8_t>& bytes) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string text;
  for (std::uint8_t b : bytes) {
    if (!text.empty()) text += ' ';
    text += kDigits[b >> 4];
    text += kDigits[b & 0x0F];
  }
  return text;
}

void PrintExchange(const Exchange& e, const WallClock& clock) {
  std::printf("%s  recv  %s\n", clock.Format(e.requestFirstByte).c_str(),
              HexText(e.request).c_str());
  if (e.reply.empty()) {
    std::printf("%s  (no reply)\n", std::string(12, ' ').c_str());
  } else {
    const auto spread =
        std::chrono::duration_cast<std::chrono::milliseconds>(e.replyLastByte - e.replyFirstByte);
    std::printf("%s  send  %s", clock.Format(e.replyFirstByte).c_str(), HexText(e.reply).c_str());
    if (spread >= 5ms) std::printf("   (over %lld ms)", static_cast<long long>(spread.count()));
    std::printf("\n");
  }
  std::fflush(stdout);
}

const char kDescription[] =
    "A simulated grounding-resistance detector: a Modbus RTU slave at 9600 baud, 8N1.\n"
    "\n"
    "Without --device it makes a pseudo-terminal and prints its path: open that path as the\n"
    "serial port (the tool's demo does so for you; mbpoll and other Modbus masters take it as\n"
    "their device). With --device it serves a serial port instead, e.g. a USB adapter wired to\n"
    "the PC that runs the tool by a null-modem cable.\n"
    "\n"
    "Registers (holding, read with function 3, written with function 6):\n"
    "  13 (0x000D) resistance reading of the last finished measurement\n"
    "  14 (0x000E) its number of decimal places (low byte)\n"
    "  15 (0x000F) voltage in volts\n"
    "  17 (0x0011) write 1 to start a measurement; the result is readable --measure-ms later\n"
    "  18 (0x0012) bus address, 1 to 255; a broadcast read of it draws an answer\n"
    "\n"
    "Every frame received and sent is printed in hexadecimal with the time of day.\n"
    "\n"
    "Faults (--fault KIND) spoil replies, every one or the next --fault-times:\n"
    "  no-reply       send nothing\n"
    "  bad-crc        invert both CRC bytes\n"
    "  truncate       leave off the last --truncate-by bytes (default 2)\n"
    "  exception      answer Modbus exception --exception-code (default 4)\n"
    "  other-address  answer as slave --other-address (default the next address), CRC right\n"
    "  extra          append --extra-bytes (hex, default 00)\n"
    "  split          send in pieces cut after --split-after bytes (default 3), with\n"
    "                 --fault-pause-ms between them (default 20)\n"
    "  twice          send the reply twice, --fault-pause-ms apart (default 0)\n"
    "  delay          send the reply --fault-pause-ms late (default 2000)\n"
    "  stray          put --stray-bytes (hex, default 00) in front of the reply\n"
    "  pause          pause --fault-pause-ms (default 60) inside the reply, after its first\n"
    "                 --pause-after bytes (default 2, its head)\n"
    "  noise          write --noise-bytes (hex, default A5 A5 A5; the head of another reply,\n"
    "                 such as 01 03 02, will do) --fault-pause-ms (default 10) after the reply\n"
    "  trickle        send the reply a byte at a time at the pace of 9600 baud\n"
    "  echo           the line gives every request back before the reply, as an RS-485\n"
    "                 adapter that hears itself\n"
    "  echo-only      the same echoing line with no detector on it: nothing answers\n"
    "--stray-bytes also goes with any other reply fault (split, trickle, pause, ...): the\n"
    "stray bytes come first, and the split's pieces count them.\n"
    "\n"
    "Stop it with Ctrl+C.";

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  QCoreApplication::setApplicationName(QStringLiteral("karvello-sim"));
  QCommandLineParser parser;
  parser.setApplicationDescription(QString::fromUtf8(kDescription));
  parser.addHelpOption();
  parser.addOptions({
      {"address", "Bus address, 1 to 255 (default 1).", "N"},
      {"resistance", "Resistance reading, 0 to 65535 (default 345).", "N"},
      {"decimals", "Decimal places of the reading, 0 to 255; more than 2 shows as OL (default 1).",
       "N"},
      {"voltage", "Voltage in volts, 0 to 65535 (default 220).", "N"},
      {"measure-ms", "Measurement time in milliseconds (default 19000, as the real detector).",
       "MS"},
      {"pace", "Write replies a byte at a time at the pace of 9600 baud."},
      {"device", "Serve this serial device (raw 9600 8N1) instead of a new pseudo-terminal.",
       "PATH"},
      {"fault",
       "Spoil replies: no-reply, bad-crc, truncate, exception, other-address, extra, "
       "split, twice, delay, stray, pause, noise or trickle; or make the line echo: echo, "
       "echo-only (see above).",
       "KIND"},
      {"fault-times", "Spoil only the next N replies (default: every reply).", "N"},
      {"truncate-by", "truncate: bytes left off (default 2).", "N"},
      {"exception-code", "exception: the exception code (default 4).", "N"},
      {"other-address", "other-address: the slave address answered with.", "N"},
      {"extra-bytes", "extra: the bytes appended, in hex, e.g. \"00 FF\" (default 00).", "HEX"},
      {"split-after", "split: piece sizes, e.g. 3 or 2,3 (default 3).", "N,..."},
      {"fault-pause-ms", "split, twice, delay, pause, noise: the pause in milliseconds.", "MS"},
      {"stray-bytes", "stray, or with any reply fault: bytes in front of the reply, in hex.",
       "HEX"},
      {"noise-bytes", "noise: the bytes written after the reply, in hex (default A5 A5 A5).",
       "HEX"},
      {"pause-after", "pause: the reply's bytes before the pause (default 2).", "N"},
  });
  parser.process(app);
  if (!parser.positionalArguments().isEmpty()) {
    std::fprintf(stderr, "karvello-sim: unexpected argument \"%s\" (see --help)\n",
                 parser.positionalArguments().first().toLocal8Bit().constData());
    return 1;
  }

  Setup setup;
  std::unique_ptr<SimulatedDetector> detector;
  try {
    setup = ReadOptions(parser);
    if (setup.device.empty()) {
      detector = std::make_unique<SimulatedDetector>(setup.config);
    } else {
      detector = std::make_unique<SimulatedDetector>(setup.config,
                                                     karvello::sim::OpenSerialDevice(setup.device));
    }
  } catch (const UsageError& e) {
    std::fprintf(stderr, "karvello-sim: %s\n", e.message.c_str());
    return 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "karvello-sim: %s\n", e.what());
    return 1;
  }
  if (setup.fault) detector->SetFault(*setup.fault, setup.faultTimes);

  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaction(sig, &action, nullptr);

  const DetectorConfig& c = setup.config;
  if (c.present) {
    std::printf(
        "Simulated detector at address %d: reading %d with %d decimal place(s), %d V, "
        "measurement %lld ms%s.\n",
        c.address, c.resistance, c.decimalCount, c.voltage,
        static_cast<long long>(c.measurementTime.count()), c.pacing ? ", paced" : "");
  } else {
    std::printf("No detector on the line: nothing answers.\n");
  }
  if (c.echo) std::printf("The line echoes every request.\n");
  if (setup.fault) {
    std::printf("Fault %s on %s.\n", setup.faultName.c_str(),
                setup.faultTimes == SimulatedDetector::kPersistent
                    ? "every reply"
                    : ("the next " + std::to_string(setup.faultTimes) + " replies").c_str());
  }
  if (setup.device.empty()) {
    std::printf("Serving %s (a pseudo-terminal: open it as the serial port). Ctrl+C stops.\n",
                detector->SlavePath().c_str());
  } else {
    std::printf("Serving %s at 9600 8N1. Ctrl+C stops.\n", setup.device.c_str());
  }
  std::fflush(stdout);

  const WallClock clock;
  std::size_t printed = 0;
  std::size_t dropped = 0;
  while (stopRequested == 0) {
    if (detector->WaitForExchanges(printed + 1, 100ms)) {
      const std::vector<Exchange> log = detector->Exchanges();
      // (The newest may be unfinished, its reply still to come: it is printed once finished.)
      for (; printed < log.size() && log[printed].finished; ++printed) {
        PrintExchange(log[printed], clock);
      }
    }
    if (const std::size_t now = detector->DroppedBytes(); now != dropped) {
      std::printf("%s  dropped %zu byte(s) that made no request\n",
                  clock.Format(Clock::now()).c_str(), now - dropped);
      std::fflush(stdout);
      dropped = now;
    }
  }
  std::printf("Stopped after %zu request(s).\n", printed);
  return 0;
}
