#pragma once
// A simulated grounding-resistance detector: a Modbus RTU slave at 9600 baud on the master side
// of a pseudo-terminal, served by its own thread. Tests, the demo and the benchmarks open
// SlavePath() as the serial port. It can also serve a line opened elsewhere (a serial port, one
// end of a null-modem pair; see serial_device.h).
//
// Registers (holding, 16 bits, high byte first), 0x000D to 0x0012:
//   0x000D  resistance reading of the last finished measurement
//   0x000E  high byte as configured, low byte the decimal count of that reading
//   0x000F  voltage in volts
//   0x0010  always 0
//   0x0011  write 1 to start a measurement; reads 1 while one runs
//   0x0012  bus address, 1 to 255
// A measurement takes measurementTime; until it is over 0x000D/0x000E keep the previous result,
// which at power-on is 0 and 0. The result is the reading configured when it finishes.
//
// Requests are 8 bytes; only those whose CRC is right and which are addressed to the detector or
// broadcast (slave 0) are taken. Broadcasts get no reply, except the read of 0x0012 (count 1),
// which the detector answers with its own address. A write of 0x0012 (1 to 255) changes the
// address; an addressed write is echoed. An unknown function draws exception 01 (so does a
// shorter frame with a right CRC that ends in silence), a register outside 0x000D..0x0012 (or a
// write to a read-only one) exception 02, a bad count or value exception 03. Bytes that make no
// request (bad CRC, a fragment followed by more than 4 ms of silence) are dropped one by one until
// a request starts. While it writes a reply the detector reads nothing, as a half-duplex slave.
//
// The line itself can be set to echo what the tool sends (an adapter that hears itself), with a
// stray byte in front of each echo if asked, and the detector can be taken off it, leaving a line
// that only echoes.
//
// A bus: several detectors on the one line, each with its own address, readings, voltage and
// faults. A request is taken by every detector it addresses: a broadcast write by all of them (a
// broadcast of the address gives them all that address, as on a real line), a broadcast read of
// the address is answered by all. Detectors that answer the same request (a shared address, that
// broadcast read) answer at once: each starts kCollisionSkewBits bit times after the one before
// it in the bus's order, a low level from any of them holds the line low, and the tool gets what
// a UART makes of that (see Overlap). The line is one log: one exchange per request, whatever
// number of detectors answered it.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "sim/pty_pair.h"

namespace karvello::sim {

using Clock = std::chrono::steady_clock;

// One character at 9600 baud, 8N1: start bit, 8 data bits, stop bit.
inline constexpr std::chrono::nanoseconds kByteTime{1'041'667};
// Silence after which gathered bytes that make no whole request are dropped.
inline constexpr std::chrono::microseconds kRequestGap{4'000};

struct DetectorConfig {
  std::uint8_t address = 1;
  std::uint16_t resistance = 345;  // reading of 0x000D
  std::uint8_t decimalCount = 1;   // low byte of 0x000E
  std::uint8_t decimalHigh = 0;    // high byte of 0x000E
  std::uint16_t voltage = 220;
  std::chrono::milliseconds measurementTime{19'000};
  // pacing, echo and strayBeforeEcho are the line's ways: the one-detector constructor takes them
  // from here, a bus from its LineConfig (these are then ignored).
  //
  // Each reply byte written by itself one byte time after the one before, as at 9600 baud.
  bool pacing = false;
  // The line gives every byte the tool sends back to it as it goes out (a byte time apart),
  // before any reply, as a two-wire RS-485 adapter without echo suppression does.
  bool echo = false;
  // A detector is on the line; without one nothing answers (the echo, if any, still comes).
  bool present = true;
  // On an echoing line, a byte the adapter gives back in front of each request's echo, as a
  // glitch when it turns the line round.
  std::optional<std::uint8_t> strayBeforeEcho = std::nullopt;
};

// The ways of the line itself, whatever detectors hang on it (see DetectorConfig).
struct LineConfig {
  bool pacing = false;
  bool echo = false;
  std::optional<std::uint8_t> strayBeforeEcho = std::nullopt;
};

// How far apart, in bit times, detectors that answer the same request begin their replies.
inline constexpr std::size_t kCollisionSkewBits = 3;

// A way for the next replies to go wrong. Faults touch replies only; requests that draw no
// reply (broadcasts, other slaves) neither show nor use them up. Stray bytes (`before`) may go
// with any kind: they are put in front of the reply before it is spoilt or cut, so the cuts of a
// split count them too.
struct Fault {
  enum class Kind {
    kNone,
    kNoReply,       // the reply is not sent
    kSplit,         // sent in pieces (cut after each of `cuts` bytes), `pause` between them
    kBadCrc,        // both CRC bytes inverted
    kTruncate,      // the last `count` bytes left off
    kException,     // exception reply with code `code` instead of the answer
    kWrongAddress,  // slave byte `code`, CRC recomputed
    kExtraBytes,    // `extra` appended
    kTwice,         // sent twice, `pause` between the copies
    kDelay,         // sent after `pause`
    kFlipBits,      // byte `count` (counted from 0, wrapping round the reply) XORed with `code`
    kStray,         // the reply as it is, with the stray bytes `before` in front of it
    kNoiseAfter,    // `extra` written `pause` after the reply (noise, or the head of another)
    kTrickle,       // every byte written by itself one byte time after the one before
  };
  Kind kind = Kind::kNone;
  std::vector<std::size_t> cuts;
  std::chrono::milliseconds pause{0};
  std::size_t count = 0;
  std::uint8_t code = 0;
  std::vector<std::uint8_t> extra;
  std::vector<std::uint8_t> before;

  static Fault NoReply() { return Make(Kind::kNoReply); }
  // Pauses under the tool's 50 ms frame gap keep the reply one frame for it.
  static Fault Split(std::vector<std::size_t> cuts, std::chrono::milliseconds pause) {
    Fault f = Make(Kind::kSplit, pause);
    f.cuts = std::move(cuts);
    return f;
  }
  static Fault BadCrc() { return Make(Kind::kBadCrc); }
  static Fault Truncate(std::size_t dropLast) {
    Fault f = Make(Kind::kTruncate);
    f.count = dropLast;
    return f;
  }
  static Fault Exception(std::uint8_t code = 0x04) { return Make(Kind::kException, {}, code); }
  static Fault FromAddress(std::uint8_t other) { return Make(Kind::kWrongAddress, {}, other); }
  static Fault Extra(std::vector<std::uint8_t> bytes) {
    Fault f = Make(Kind::kExtraBytes);
    f.extra = std::move(bytes);
    return f;
  }
  static Fault Twice(std::chrono::milliseconds pause = {}) { return Make(Kind::kTwice, pause); }
  static Fault Delay(std::chrono::milliseconds pause) { return Make(Kind::kDelay, pause); }
  // Noise on the line: the bits of `mask` turned over in byte `byte` of the reply.
  static Fault FlipBits(std::size_t byte, std::uint8_t mask) {
    Fault f = Make(Kind::kFlipBits, {}, mask);
    f.count = byte;
    return f;
  }
  // Bytes that are no reply in front of it, as a line that picks up noise when it turns round.
  static Fault Stray(std::vector<std::uint8_t> bytes) { return Make(Kind::kNone).WithStray(bytes); }
  // A pause inside the reply: its first `head` bytes, then `pause`, then the rest.
  static Fault PauseAfter(std::size_t head, std::chrono::milliseconds pause) {
    return Split({head}, pause);
  }
  // `noise` (say A5 A5 A5, or the head 01 03 02 of another reply) `pause` after the reply.
  static Fault NoiseAfter(std::vector<std::uint8_t> noise, std::chrono::milliseconds pause) {
    Fault f = Make(Kind::kNoiseAfter, pause);
    f.extra = std::move(noise);
    return f;
  }
  // The reply a byte at a time at the pace of 9600 baud, as a real line hands it over.
  static Fault Trickle() { return Make(Kind::kTrickle); }
  // This fault with `bytes` in front of the reply.
  Fault WithStray(std::vector<std::uint8_t> bytes) const {
    Fault f = *this;
    if (f.kind == Kind::kNone) f.kind = Kind::kStray;
    f.before = std::move(bytes);
    return f;
  }

 private:
  static Fault Make(Kind kind, std::chrono::milliseconds pause = {}, std::uint8_t code = 0) {
    Fault f;
    f.kind = kind;
    f.pause = pause;
    f.code = code;
    return f;
  }
};

// One request taken and what was written in answer. An exchange is logged before any of its reply
// goes out, and each piece of the reply is added, with its time, just before it is written: a
// reader that has got bytes of the reply finds them in the log.
struct Exchange {
  std::vector<std::uint8_t> request;
  std::vector<std::uint8_t> reply;  // every byte written so far, empty when none
  Clock::time_point requestFirstByte;
  Clock::time_point requestLastByte;
  // Taken just before the write of the reply's first byte and of its last byte so far: never
  // after a reader can have had the byte. Both left at the epoch when nothing was written.
  Clock::time_point replyFirstByte;
  Clock::time_point replyLastByte;
  // The whole reply is written (or none was due). Only the newest exchange can be unfinished: a
  // reply still to come after a pause, say.
  bool finished = false;
};

class SimulatedDetector {
 public:
  static constexpr int kPersistent = -1;

  // Opens a pseudo-terminal and starts serving it with one detector.
  explicit SimulatedDetector(DetectorConfig config = {});
  // Serves `lineFd`, an open non-blocking descriptor of a line already set up (OpenSerialDevice),
  // instead of a pseudo-terminal of its own. The detector takes it over and closes it.
  SimulatedDetector(DetectorConfig config, int lineFd);
  // A bus: the detectors of `bus` (at least one; two may share an address) on one line, a
  // pseudo-terminal of its own or `lineFd` as above. Throws std::invalid_argument if empty.
  SimulatedDetector(std::vector<DetectorConfig> bus, LineConfig line);
  SimulatedDetector(std::vector<DetectorConfig> bus, LineConfig line, int lineFd);
  // Stops and joins the thread; the pseudo-terminal (or the line handed in) closes.
  ~SimulatedDetector();
  SimulatedDetector(const SimulatedDetector&) = delete;
  SimulatedDetector& operator=(const SimulatedDetector&) = delete;

  // The pseudo-terminal's slave path; empty when the detector serves a line handed in.
  const std::string& SlavePath() const;

  // Faults: the next `times` replies, or every reply until cleared. Each detector counts its own
  // replies; without an address the fault is set on every detector of the line.
  void SetFault(Fault fault, int times = kPersistent);
  void ClearFault() { SetFault(Fault{}); }
  // On the detectors now at `address` only. Returns how many there are (0: none, nothing set).
  std::size_t SetFault(std::uint8_t address, Fault fault, int times = kPersistent);

  // Settings at run time, for every detector of the line.
  void SetAddress(std::uint8_t address);
  // Reported by measurements that finish from now on.
  void SetResistance(std::uint16_t reading, std::uint8_t decimalCount, std::uint8_t high = 0);
  void SetVoltage(std::uint16_t volts);
  void SetMeasurementTime(std::chrono::milliseconds time);
  void SetPacing(bool on);
  // The line echoes every byte the tool sends (see DetectorConfig::echo).
  void SetEcho(bool on);
  // Takes the detectors off the line (false) or puts them back ...
  void SetPresent(bool present);
  // ... or those now at `address` only; returns how many there are.
  std::size_t SetPresent(std::uint8_t address, bool present);

  // Introspection. Address and Config are the first detector's, Config with the line's ways.
  std::uint8_t Address() const;
  DetectorConfig Config() const;
  // Every detector as it stands now (its address perhaps changed by a request), in bus order.
  std::vector<DetectorConfig> Detectors() const;
  // Every exchange logged, the newest perhaps unfinished.
  std::vector<Exchange> Exchanges() const;
  std::size_t ExchangeCount() const;
  // Waits until `count` exchanges are finished: their replies written whole.
  bool WaitForExchanges(std::size_t count, std::chrono::milliseconds timeout) const;
  // Bytes thrown away while looking for a request: bad CRC, fragments.
  std::size_t DroppedBytes() const;
  // Bytes the line gave back to the tool as its echo.
  std::size_t EchoedBytes() const;

  // Closes the master side, as when the adapter is pulled; the detector stops for good.
  void Unplug();

  // A piece of what goes on the wire, written `pauseBefore` after the piece before it.
  struct Piece {
    std::chrono::nanoseconds pauseBefore;
    std::vector<std::uint8_t> bytes;
  };
  // The pieces a reply to a request with function code `function` goes out in once `fault` has
  // spoilt it (stray bytes included). Empty when nothing is sent.
  static std::vector<Piece> Spoil(const Fault& fault, std::vector<std::uint8_t> reply,
                                  std::uint8_t function);
  // What the tool receives when each of `frames` is sent at once, frame i starting
  // i * kCollisionSkewBits bit times after the first (8N1, the line idle high, a low from any
  // sender holding it low), read by a UART that takes the first low after each frame for the
  // next start bit. One frame comes through as it is.
  static std::vector<std::uint8_t> Overlap(const std::vector<std::vector<std::uint8_t>>& frames);

  // The line on a line of the caller's: carries out `request` (a whole frame) and returns the
  // pieces of its answer as the faults in force spoil them, empty when none is sent. The line's
  // echo, if any, is the caller's. The exchange is logged as on the pseudo-terminal.
  std::vector<Piece> Respond(std::span<const std::uint8_t> request);

 private:
  // One detector on the line: its settings, faults and measurement.
  struct Unit {
    DetectorConfig config;
    Fault fault;
    int faultTimes = 0;
    std::optional<Clock::time_point> measureStart;
    std::uint16_t resultReading = 0;
    std::uint16_t resultDecimals = 0;  // the whole of 0x000E
  };

  void Start();
  void Run();
  void Stop();
  // Waits until `deadline` or a stop; false on a stop.
  bool WaitUntil(Clock::time_point deadline) const;
  void TakeRequests(bool silent);
  void Serve(std::size_t length);
  // Under the lock: every detector that `request` addresses carries it out, and the pieces of
  // what they send, spoilt by their faults and overlapped when more than one answers.
  std::vector<Piece> AnswerAll(std::span<const std::uint8_t> request);
  // The reply of `unit` to `request`, if one is due (this carries out the request) ...
  static std::optional<std::vector<std::uint8_t>> Answer(Unit& unit,
                                                         std::span<const std::uint8_t> request);
  // ... and the pieces it goes out in once its fault, if any, has spoilt it.
  static std::vector<Piece> Plan(Unit& unit, std::vector<std::uint8_t> reply,
                                 std::uint8_t function);
  // ... the reply spoilt by the fault's kind alone, in its pieces.
  static std::vector<Piece> SpoilByKind(const Fault& f, std::vector<std::uint8_t> reply,
                                        std::uint8_t function);
  static std::uint16_t Register(const Unit& unit, std::uint16_t number);
  bool WriteAll(std::span<const std::uint8_t> bytes);

  std::optional<PtyPair> pty_;  // absent when serving a line handed in
  int lineFd_ = -1;             // the descriptor read and written: the pty master or that line
  int wakeFd_ = -1;             // an eventfd made readable to stop the thread
  std::thread thread_;

  mutable std::mutex mutex_;
  mutable std::condition_variable logged_;
  LineConfig line_;
  std::vector<Unit> units_;  // never empty
  std::vector<Exchange> log_;
  std::size_t finished_ = 0;  // exchanges in log_ that are finished
  std::size_t dropped_ = 0;
  std::size_t echoed_ = 0;

  // Used by the thread only: bytes gathered towards the next request and when each came.
  std::vector<std::uint8_t> pending_;
  std::vector<Clock::time_point> arrived_;
};

}  // namespace karvello::sim
