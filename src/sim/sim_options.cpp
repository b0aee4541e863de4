#include "sim/sim_options.h"

#include <QRegularExpression>
#include <QStringList>
#include <algorithm>
#include <chrono>
#include <iterator>
#include <utility>

#include "framing/frame_text.h"

namespace karvello::sim {

namespace {

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
// decimal, or hexadecimal where `hex`. `option` names the option in messages.
std::vector<long> NumberList(const std::string& option, const QString& text, long low, long high,
                             bool hex) {
  std::vector<long> values;
  for (const QString& item : text.split(QRegularExpression("[,\\s]+"), Qt::SkipEmptyParts)) {
    bool ok = false;
    const long value = item.toLong(&ok, hex ? 16 : 10);
    if (!ok || value < low || value > high) {
      throw UsageError{option + ": \"" + item.toStdString() + "\" is not a number from " +
                       std::to_string(low) + " to " + std::to_string(high)};
    }
    values.push_back(value);
  }
  if (values.empty()) throw UsageError{option + " needs at least one number"};
  return values;
}

std::vector<long> WholeList(const QCommandLineParser& parser, const QString& name, long low,
                            long high, bool hex) {
  return NumberList("--" + name.toStdString(), parser.value(name), low, high, hex);
}

std::vector<std::uint8_t> ByteList(const std::string& option, const QString& text) {
  std::vector<std::uint8_t> bytes;
  for (long b : NumberList(option, text, 0, 255, true))
    bytes.push_back(static_cast<std::uint8_t>(b));
  return bytes;
}

// A value of an option given per detector, "ADDRESS:REST": the address and the rest.
std::pair<std::uint8_t, QString> Addressed(const std::string& option, const QString& value) {
  const qsizetype colon = value.indexOf(QLatin1Char(':'));
  bool ok = false;
  const long address = colon > 0 ? value.left(colon).trimmed().toLong(&ok, 10) : 0;
  if (!ok || address < 1 || address > 255) {
    throw UsageError{option + " takes ADDRESS:..., the address from 1 to 255, not \"" +
                     value.toStdString() + "\""};
  }
  return {static_cast<std::uint8_t>(address), value.mid(colon + 1).trimmed()};
}

// A hexadecimal byte list option, or `fallback` when it is not given.
std::vector<std::uint8_t> Bytes(const QCommandLineParser& parser, const QString& name,
                                std::vector<std::uint8_t> fallback) {
  if (!parser.isSet(name)) return fallback;
  return ByteList("--" + name.toStdString(), parser.value(name));
}

// Kinds that are the line's own ways rather than spoilt replies: they hold for every request.
bool IsLineKind(const std::string& kind) {
  return kind == "echo" || kind == "echo-only";
}

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
// "voltage=230,resistance=1234/2": settings of one detector (--detector).
void ReadDetector(const QString& text, DetectorConfig& c) {
  const auto number = [&](const QString& key, const QString& value, long high) {
    bool ok = false;
    const long n = value.trimmed().toLong(&ok, 10);
    if (!ok || n < 0 || n > high) {
      throw UsageError{"--detector: " + key.toStdString() + " takes a whole number from 0 to " +
                       std::to_string(high) + ", not \"" + value.toStdString() + "\""};
    }
    return n;
  };
  for (const QString& item : text.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
    const QString key = item.section(QLatin1Char('='), 0, 0).trimmed();
    const QString value = item.section(QLatin1Char('='), 1);
    if (!item.contains(QLatin1Char('='))) {
      throw UsageError{"--detector: \"" + item.toStdString() + "\" is not KEY=VALUE"};
    } else if (key == "resistance") {
      c.resistance =
          static_cast<std::uint16_t>(number(key, value.section(QLatin1Char('/'), 0, 0), 65535));
      if (value.contains(QLatin1Char('/'))) {
        c.decimalCount =
            static_cast<std::uint8_t>(number(key, value.section(QLatin1Char('/'), 1), 255));
      }
    } else if (key == "decimals") {
      c.decimalCount = static_cast<std::uint8_t>(number(key, value, 255));
    } else if (key == "voltage") {
      c.voltage = static_cast<std::uint16_t>(number(key, value, 65535));
    } else if (key == "measure-ms") {
      c.measurementTime = std::chrono::milliseconds(number(key, value, 3'600'000));
    } else {
      throw UsageError{"--detector: unknown setting \"" + key.toStdString() +
                       "\" (resistance, decimals, voltage, measure-ms)"};
    }
  }
}

// A reply fault named on the command line, with --stray-bytes in front where given.
Fault ReplyFault(const QCommandLineParser& parser, const std::string& kind, std::uint8_t address) {
  Fault fault = MakeFault(parser, kind, address);
  if (parser.isSet("stray-bytes") && kind != "stray") {
    fault = fault.WithStray(Bytes(parser, "stray-bytes", {}));
  }
  return fault;
}

// Kinds that mean nothing behind a Modbus TCP gateway: there is no CRC on the stream, and the
// line's echo stays on the serial side. `option` names where the kind was given.
void RefuseOverModbusTcp(const QCommandLineParser& parser, const std::string& option,
                         const std::string& kind) {
  if (!parser.isSet("modbus-tcp")) return;
  if (kind == "bad-crc") {
    throw UsageError{option +
                     ": bad-crc does not go with --modbus-tcp: Modbus TCP has no CRC, "
                     "and a gateway passes on no reply with a wrong one (use no-reply)"};
  }
  if (IsLineKind(kind)) {
    throw UsageError{option + ": " + kind +
                     " does not go with --modbus-tcp: a gateway does not pass on the line's echo"};
  }
}

// "HOST:PORT" (an IPv6 host in brackets), the port 0 to 65535, 0 for a free one.
std::pair<std::string, std::uint16_t> ListenAddress(const QString& value) {
  const qsizetype colon = value.lastIndexOf(QLatin1Char(':'));
  QString host = colon > 0 ? value.left(colon) : QString();
  if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']'))) {
    host = host.mid(1, host.size() - 2);
  }
  bool ok = false;
  const long port = colon > 0 ? value.mid(colon + 1).toLong(&ok, 10) : 0;
  if (!ok || host.isEmpty() || port < 0 || port > 65535) {
    throw UsageError{"--listen takes HOST:PORT, the port from 0 (a free one) to 65535, not \"" +
                     value.toStdString() + "\""};
  }
  return {host.toStdString(), static_cast<std::uint16_t>(port)};
}

const char kDescription[] =
    "A simulated grounding-resistance detector: a Modbus RTU slave at 9600 baud, 8N1.\n"
    "\n"
    "Without --device it makes a pseudo-terminal and prints its path: open that path as the\n"
    "serial port (the tool's demo does so for you; mbpoll and other Modbus masters take it as\n"
    "their device). With --device it serves a serial port instead, e.g. a USB adapter wired to\n"
    "the PC that runs the tool by a null-modem cable.\n"
    "\n"
    "With --listen HOST:PORT it serves TCP (\"Serving rtu+tcp://HOST:PORT ...\"): the RTU frames\n"
    "on the stream as they are, CRC and all, as on a serial line, for a master that talks RTU\n"
    "over TCP. With --modbus-tcp as well it serves Modbus TCP (\"Serving tcp://HOST:PORT ...\"),\n"
    "as a gateway in front of the detectors: MBAP header and PDU, no CRC; the unit id is the\n"
    "detector's address, and the answer carries the request's transaction id and unit id. When\n"
    "no detector gives a reply the gateway can pass on, it sends nothing, or, with\n"
    "--gateway-exceptions, exception 0x0B (gateway target device failed to respond); never to a\n"
    "broadcast (unit id 0). One client at a time: a new connection replaces the one before, and\n"
    "when a client closes the next may connect. Over Modbus TCP the faults work on the answer:\n"
    "no-reply silences the detector, exception and other-address (the unit id) make the answer,\n"
    "split, twice, delay and the others go on the stream; bad-crc, echo and echo-only are\n"
    "refused, and --pace holds each answer back the time the line behind the gateway takes.\n"
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
    "A bus: --bus 3,7,200 puts detectors at those addresses on the one line (an address given\n"
    "twice puts two detectors there). --resistance, --decimals, --voltage, --measure-ms and\n"
    "--fault hold for all of them; per detector:\n"
    "  --detector 7:voltage=230,resistance=1234/2   settings of the detector(s) at 7: resistance\n"
    "                 (READING or READING/DECIMALS), decimals, voltage, measure-ms\n"
    "  --fault-at 50:bad-crc   a reply fault (the kinds above, with their options) at 50 only\n"
    "  --stray-at 7:FF         stray bytes (hex) in front of 7's replies, with its fault if any\n"
    "Each may be given more than once. A request is taken by every detector it addresses; a\n"
    "broadcast write by all, so a broadcast of the address gives them all that address.\n"
    "Detectors that answer the same request (a shared address, a broadcast read of the address)\n"
    "answer at once, each 3 bit times after the one before: the tool gets their replies\n"
    "overlapped, as a garbled frame. The log shows one line per request.\n"
    "\n"
    "Stop it with Ctrl+C.";

}  // namespace

void AddSimOptions(QCommandLineParser& parser) {
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
      {"listen",
       "Serve TCP on HOST:PORT instead of a pseudo-terminal (port 0: a free one), RTU frames "
       "as on a serial line, one client at a time.",
       "HOST:PORT"},
      {"modbus-tcp", "With --listen: serve Modbus TCP, as a gateway in front of the detectors."},
      {"gateway-exceptions",
       "With --modbus-tcp: answer exception 0x0B when no detector replies, instead of nothing."},
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
      {"bus", "A bus: detectors at these addresses on one line, e.g. 3,7,200.", "N,..."},
      {"detector", "Settings of the detector(s) at ADDRESS, e.g. 7:voltage=230,resistance=1234/2.",
       "ADDRESS:KEY=VALUE,..."},
      {"fault-at", "A reply fault at ADDRESS only, e.g. 50:bad-crc.", "ADDRESS:KIND"},
      {"stray-at", "Stray bytes in front of the replies from ADDRESS, e.g. 7:FF.", "ADDRESS:HEX"},
  });
}

Setup ReadSimOptions(const QCommandLineParser& parser) {
  Setup setup;
  DetectorConfig c;
  if (parser.isSet("address")) {
    if (parser.isSet("bus")) throw UsageError{"--address and --bus: give the addresses with --bus"};
    c.address = static_cast<std::uint8_t>(Whole(parser, "address", 1, 255));
  }
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
  setup.line.pacing = c.pacing = parser.isSet("pace");
  setup.bus = {c};
  if (parser.isSet("bus")) {
    setup.isBus = true;
    setup.bus.clear();
    for (long address : WholeList(parser, "bus", 1, 255, false)) {
      setup.bus.push_back(c);
      setup.bus.back().address = static_cast<std::uint8_t>(address);
    }
  }
  // The detectors at `address`; an address where none is, refused.
  const auto at = [&](const std::string& option, std::uint8_t address) {
    std::vector<DetectorConfig*> found;
    for (DetectorConfig& d : setup.bus) {
      if (d.address == address) found.push_back(&d);
    }
    if (found.empty()) {
      throw UsageError{option + ": no detector at address " + std::to_string(address)};
    }
    return found;
  };
  for (const QString& value : parser.values("detector")) {
    const auto [address, settings] = Addressed("--detector", value);
    for (DetectorConfig* d : at("--detector", address)) ReadDetector(settings, *d);
  }

  const bool lineKind = parser.isSet("fault") && IsLineKind(parser.value("fault").toStdString());
  const bool perDetector = parser.isSet("fault-at") || parser.isSet("stray-at");
  if (parser.isSet("fault"))
    RefuseOverModbusTcp(parser, "--fault", parser.value("fault").toStdString());
  if (lineKind) {
    setup.faultName = parser.value("fault").toStdString();
    setup.line.echo = true;
    for (DetectorConfig& d : setup.bus) d.present = setup.faultName == "echo";
    if (parser.isSet("fault-times") && !perDetector) {
      throw UsageError{"--fault-times does not apply to " + setup.faultName +
                       ", which holds for every request"};
    }
  } else if (parser.isSet("fault")) {
    setup.faultName = parser.value("fault").toStdString();
    setup.fault = ReplyFault(parser, setup.faultName, setup.bus.front().address);
  } else if (!perDetector) {
    for (const char* name :
         {"fault-times", "truncate-by", "exception-code", "other-address", "extra-bytes",
          "split-after", "fault-pause-ms", "stray-bytes", "noise-bytes", "pause-after"}) {
      if (parser.isSet(name)) {
        throw UsageError{std::string("--") + name + " needs --fault or --fault-at"};
      }
    }
  }
  for (const QString& value : parser.values("fault-at")) {
    const auto [address, kind] = Addressed("--fault-at", value);
    at("--fault-at", address);
    if (IsLineKind(kind.toStdString())) {
      throw UsageError{"--fault-at: " + kind.toStdString() +
                       " is the line's, not a detector's: give it with --fault"};
    }
    RefuseOverModbusTcp(parser, "--fault-at", kind.toStdString());
    std::erase_if(setup.faultsAt, [&](const FaultAt& f) { return f.address == address; });
    setup.faultsAt.push_back(
        {address, kind.toStdString(), ReplyFault(parser, kind.toStdString(), address)});
  }
  for (const QString& value : parser.values("stray-at")) {
    const auto [address, text] = Addressed("--stray-at", value);
    at("--stray-at", address);
    const std::vector<std::uint8_t> bytes = ByteList("--stray-at", text);
    auto own = std::find_if(setup.faultsAt.begin(), setup.faultsAt.end(),
                            [&](const FaultAt& f) { return f.address == address; });
    if (own == setup.faultsAt.end()) {
      setup.faultsAt.push_back(
          {address, setup.fault ? setup.faultName : "", setup.fault.value_or(Fault{})});
      own = std::prev(setup.faultsAt.end());
    }
    own->fault = own->fault.WithStray(bytes);
    const std::string stray = "stray byte(s) " + FormatFrameText(bytes, bytes.size());
    own->name = own->name.empty() ? stray : own->name + " with " + stray + " in front";
  }
  if (parser.isSet("fault-times") && (setup.fault || !setup.faultsAt.empty())) {
    setup.faultTimes = static_cast<int>(Whole(parser, "fault-times", 1, 1'000'000));
  }
  if (parser.isSet("device")) setup.device = parser.value("device").toStdString();
  if (parser.isSet("listen")) {
    if (parser.isSet("device")) throw UsageError{"--listen and --device: give one line to serve"};
    setup.listen = ListenAddress(parser.value("listen"));
  }
  if (parser.isSet("modbus-tcp")) {
    if (!setup.listen) throw UsageError{"--modbus-tcp needs --listen"};
    setup.tcp.framing = TcpConfig::Framing::kModbusTcp;
  }
  if (parser.isSet("gateway-exceptions")) {
    if (!parser.isSet("modbus-tcp")) throw UsageError{"--gateway-exceptions needs --modbus-tcp"};
    setup.tcp.gatewayExceptions = true;
  }
  return setup;
}

}  // namespace karvello::sim
