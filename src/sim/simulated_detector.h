#pragma once
// A simulated detector (or bus of them) serving one line from a thread of its own: the master
// side of a pseudo-terminal it makes, whose SlavePath() tests, the demo and the benchmarks open
// as the serial port, or a line opened elsewhere (serial_device.h). Bytes that make no request
// (bad CRC, a fragment followed by more than kRequestGap of silence) are dropped one by one until
// a request starts; while it writes a reply the line reads nothing, as a half-duplex slave. The
// line may echo what the tool sends, with a stray byte in front of each echo, and its detectors
// may be taken off it, leaving a line that only echoes.
//
// Over TCP it serves one client at a time on a listening socket: a new connection replaces the
// one before (a master that reconnects after losing its link would otherwise wait on a dead
// one), and a client that closes leaves it listening for the next. Its RTU frames go on the
// stream as they are, as on the pseudo-terminal; as Modbus TCP, see modbus_tcp.h (the line's
// echo and its stray byte do not pass a gateway, so they are left out).

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "sim/bus.h"
#include "sim/detector_model.h"
#include "sim/exchange_log.h"
#include "sim/faults.h"
#include "sim/pty_pair.h"
#include "sim/tcp_listener.h"

namespace karvello::sim {

// Silence after which gathered bytes that make no whole request are dropped.
inline constexpr std::chrono::microseconds kRequestGap{4'000};

// The ways of the line itself, whatever detectors hang on it (see DetectorConfig).
struct LineConfig {
  bool pacing = false;
  bool echo = false;
  std::optional<std::uint8_t> strayBeforeEcho = std::nullopt;
};

// How a TCP client's bytes are framed, and what a Modbus TCP gateway does with no reply.
struct TcpConfig {
  enum class Framing { kRtu, kModbusTcp };
  Framing framing = Framing::kRtu;
  bool gatewayExceptions = false;  // exception 0x0B instead of silence
};

class SimulatedDetector {
 public:
  // Opens a pseudo-terminal and starts serving it with one detector.
  explicit SimulatedDetector(DetectorConfig config = {});
  // Serves `lineFd`, an open non-blocking descriptor of a line already set up (OpenSerialDevice),
  // instead of a pseudo-terminal of its own. The detector takes it over and closes it.
  SimulatedDetector(DetectorConfig config, int lineFd);
  // A bus (see bus.h) on a pseudo-terminal of its own or on `lineFd` as above. Throws
  // std::invalid_argument if `bus` is empty.
  SimulatedDetector(std::vector<DetectorConfig> bus, LineConfig line);
  SimulatedDetector(std::vector<DetectorConfig> bus, LineConfig line, int lineFd);
  // A bus serving the clients of `listener` over TCP.
  SimulatedDetector(std::vector<DetectorConfig> bus, LineConfig line, TcpListener listener,
                    TcpConfig tcp = {});
  // Stops and joins the thread; the pseudo-terminal (or the line handed in) closes.
  ~SimulatedDetector();
  SimulatedDetector(const SimulatedDetector&) = delete;
  SimulatedDetector& operator=(const SimulatedDetector&) = delete;

  // The pseudo-terminal's slave path; empty when the detector serves a line handed in or TCP.
  const std::string& SlavePath() const;
  // The TCP listener served, if any.
  const TcpListener* Listener() const { return listener_ ? &*listener_ : nullptr; }
  // The TCP connections taken so far.
  std::size_t Connections() const;

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
  // The exchanges kept (the newest kKeptExchanges, see exchange_log.h), the newest perhaps
  // unfinished ...
  std::vector<Exchange> Exchanges() const;
  // ... or those from exchange `index` of the run on, with the index of the first.
  ExchangeLog::Slice ExchangesSince(std::size_t index) const;
  // Every exchange of the run, kept or not.
  std::size_t ExchangeCount() const;
  // Waits until `count` exchanges of the run are finished: their replies written whole.
  bool WaitForExchanges(std::size_t count, std::chrono::milliseconds timeout) const;
  // Keeps the newest `kept` exchanges (at least 1) instead of kKeptExchanges.
  void KeepExchanges(std::size_t kept) { log_.Keep(kept); }
  // Bytes thrown away while looking for a request: bad CRC, fragments.
  std::size_t DroppedBytes() const;
  // Bytes the line gave back to the tool as its echo.
  std::size_t EchoedBytes() const;

  // Closes the master side (over TCP: the connection and the listener), as when the adapter is
  // pulled; the detector stops for good.
  void Unplug();

  // The line on a line of the caller's: carries out `request` (a whole frame) and returns the
  // pieces of its answer as the faults in force spoil them, empty when none is sent. The line's
  // echo, if any, is the caller's. The exchange is logged as on the pseudo-terminal, finished:
  // its reply is all in the caller's hands.
  std::vector<Piece> Respond(std::span<const std::uint8_t> request);

 private:
  void Start();
  void Run();
  void Stop();
  // Waits until `deadline` or a stop; false on a stop.
  bool WaitUntil(Clock::time_point deadline) const;
  // Takes what came on the line, letting a TCP client that is gone go; false on a stop.
  bool Read(Clock::time_point now);
  void TakeRequests(bool silent);
  void TakeAdus();
  void Serve(std::size_t length);
  bool WriteAll(std::span<const std::uint8_t> bytes);
  // Over TCP: the next client, replacing the one served, if any; and the end of one.
  void AcceptClient();
  void CloseClient();

  std::optional<PtyPair> pty_;  // absent when serving a line handed in or TCP
  std::optional<TcpListener> listener_;
  TcpConfig tcp_;
  // The descriptor read and written: the pty master, the line handed in, or the TCP client's
  // connection (-1 while none is connected).
  int lineFd_ = -1;
  int wakeFd_ = -1;  // an eventfd made readable to stop the thread
  std::thread thread_;

  mutable std::mutex mutex_;  // over the line's ways, the bus and the counts
  LineConfig line_;
  Bus bus_;
  std::size_t dropped_ = 0;
  std::size_t echoed_ = 0;
  std::size_t connections_ = 0;
  ExchangeLog log_;

  // Used by the thread only: bytes gathered towards the next request and when each came.
  std::vector<std::uint8_t> pending_;
  std::vector<Clock::time_point> arrived_;
};

}  // namespace karvello::sim
