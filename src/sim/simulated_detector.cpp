#include "sim/simulated_detector.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>
#include <system_error>

#include "framing/crc16.h"
#include "framing/registers.h"

namespace karvello::sim {

namespace {

constexpr std::size_t kRequestSize = 8;
// Shortest frame that can be a request: slave, function, CRC.
constexpr std::size_t kShortestFrame = 4;
constexpr std::uint16_t kFirstRegister = reg::kResistance;
constexpr std::uint16_t kLastRegister = reg::kBusAddress;
constexpr std::uint16_t kMaxReadCount = 125;

constexpr std::uint8_t kIllegalFunction = 0x01;
constexpr std::uint8_t kIllegalDataAddress = 0x02;
constexpr std::uint8_t kIllegalDataValue = 0x03;

std::vector<std::uint8_t> WithCrc(std::vector<std::uint8_t> message) {
  const std::uint16_t crc = Crc16(message);
  message.push_back(static_cast<std::uint8_t>(crc & 0xFFU));
  message.push_back(static_cast<std::uint8_t>(crc >> 8));
  return message;
}

std::vector<std::uint8_t> ExceptionReply(std::uint8_t slave, std::uint8_t function,
                                         std::uint8_t code) {
  return WithCrc({slave, static_cast<std::uint8_t>(function | reg::kExceptionFlag), code});
}

std::uint8_t Hi(std::uint16_t v) {
  return static_cast<std::uint8_t>(v >> 8);
}
std::uint8_t Lo(std::uint16_t v) {
  return static_cast<std::uint8_t>(v & 0xFFU);
}

LineConfig LineOf(const DetectorConfig& config) {
  return {config.pacing, config.echo, config.strayBeforeEcho};
}

}  // namespace

SimulatedDetector::SimulatedDetector(DetectorConfig config)
    : SimulatedDetector(std::vector{config}, LineOf(config)) {}

SimulatedDetector::SimulatedDetector(DetectorConfig config, int lineFd)
    : SimulatedDetector(std::vector{config}, LineOf(config), lineFd) {}

SimulatedDetector::SimulatedDetector(std::vector<DetectorConfig> bus, LineConfig line)
    : pty_(std::in_place), line_(line) {
  if (bus.empty()) throw std::invalid_argument("a bus needs at least one detector");
  for (const DetectorConfig& config : bus) units_.emplace_back().config = config;
  lineFd_ = pty_->MasterFd();
  Start();
}

SimulatedDetector::SimulatedDetector(std::vector<DetectorConfig> bus, LineConfig line, int lineFd)
    : lineFd_(lineFd), line_(line) {
  if (bus.empty()) {
    close(lineFd_);
    throw std::invalid_argument("a bus needs at least one detector");
  }
  for (const DetectorConfig& config : bus) units_.emplace_back().config = config;
  Start();
}

void SimulatedDetector::Start() {
  wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wakeFd_ < 0) {
    const int err = errno;
    if (!pty_) close(lineFd_);
    throw std::system_error(err, std::generic_category(), "eventfd");
  }
  thread_ = std::thread([this] { Run(); });
}

SimulatedDetector::~SimulatedDetector() {
  Stop();
  close(wakeFd_);
  if (!pty_ && lineFd_ >= 0) close(lineFd_);
}

const std::string& SimulatedDetector::SlavePath() const {
  static const std::string kNone;
  return pty_ ? pty_->SlavePath() : kNone;
}

void SimulatedDetector::Stop() {
  if (!thread_.joinable()) return;
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = write(wakeFd_, &one, sizeof one);
  thread_.join();
}

void SimulatedDetector::Unplug() {
  Stop();
  if (pty_) {
    pty_->CloseMaster();
  } else if (lineFd_ >= 0) {
    close(lineFd_);
  }
  lineFd_ = -1;
}

bool SimulatedDetector::WaitUntil(Clock::time_point deadline) const {
  for (;;) {
    const auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) return true;
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
    const timespec ts{static_cast<time_t>(ns / 1'000'000'000),
                      static_cast<long>(ns % 1'000'000'000)};
    pollfd wake{wakeFd_, POLLIN, 0};
    if (ppoll(&wake, 1, &ts, nullptr) > 0) return false;
  }
}

void SimulatedDetector::Run() {
  std::uint8_t buffer[256];
  for (;;) {
    pollfd fds[2] = {{wakeFd_, POLLIN, 0}, {lineFd_, POLLIN, 0}};
    timespec gap{};
    if (!pending_.empty()) {
      const auto left =
          std::max(Clock::duration::zero(), arrived_.back() + kRequestGap - Clock::now());
      gap.tv_nsec = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
    }
    if (ppoll(fds, 2, pending_.empty() ? nullptr : &gap, nullptr) < 0 && errno != EINTR) return;
    if (fds[0].revents != 0) return;

    const auto now = Clock::now();
    if (!pending_.empty() && now - arrived_.back() > kRequestGap) TakeRequests(true);
    if (fds[1].revents & POLLIN) {
      const ssize_t n = read(lineFd_, buffer, sizeof buffer);
      if (n > 0) {
        bool echo = false;
        std::optional<std::uint8_t> stray;
        {
          std::lock_guard lock(mutex_);
          echo = line_.echo;
          stray = line_.strayBeforeEcho;
        }
        // The adapter hears each of the tool's bytes once it is out on the wire, a byte time
        // after the one before, and before any reply can come. A stray byte goes in front of the
        // echo of a request's first bytes.
        if (echo) {
          if (stray && pending_.empty()) WriteAll(std::span(&*stray, 1));
          auto due = now;
          for (ssize_t i = 0; i < n; ++i) {
            due += kByteTime;
            if (!WaitUntil(due)) return;
            if (!WriteAll(std::span(buffer + i, 1))) break;
            std::lock_guard lock(mutex_);
            ++echoed_;
          }
        }
        pending_.insert(pending_.end(), buffer, buffer + n);
        arrived_.insert(arrived_.end(), static_cast<std::size_t>(n), now);
        TakeRequests(false);
      }
    } else if (fds[1].revents & (POLLHUP | POLLERR)) {
      // The line is gone from under us; look again a little later rather than spin.
      if (!WaitUntil(now + std::chrono::milliseconds(10))) return;
    }
  }
}

void SimulatedDetector::TakeRequests(bool silent) {
  auto drop = [this](std::size_t count) {
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(count));
    arrived_.erase(arrived_.begin(), arrived_.begin() + static_cast<std::ptrdiff_t>(count));
    std::lock_guard lock(mutex_);
    dropped_ += count;
  };
  while (pending_.size() >= kRequestSize) {
    if (HasValidCrc(std::span(pending_).first(kRequestSize))) {
      Serve(kRequestSize);
    } else {
      drop(1);  // not the start of a request: look one byte further on
    }
  }
  if (!silent || pending_.empty()) return;
  // A shorter frame that ended in silence is a request of some function the detector lacks.
  if (pending_.size() >= kShortestFrame && HasValidCrc(pending_)) {
    Serve(pending_.size());
  } else {
    drop(pending_.size());
  }
}

void SimulatedDetector::Serve(std::size_t length) {
  Exchange exchange;
  exchange.request.assign(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(length));
  exchange.requestFirstByte = arrived_.front();
  exchange.requestLastByte = arrived_[length - 1];
  pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(length));
  arrived_.erase(arrived_.begin(), arrived_.begin() + static_cast<std::ptrdiff_t>(length));

  std::vector<Piece> plan;
  bool pacing = false;
  std::size_t index = 0;
  {
    std::lock_guard lock(mutex_);
    pacing = line_.pacing;
    plan = AnswerAll(exchange.request);
    // Logged before any of the reply goes out, so the log never lags what a reader has got.
    exchange.finished = plan.empty();
    index = log_.size();
    log_.push_back(std::move(exchange));
    if (plan.empty()) {
      ++finished_;
      logged_.notify_all();
      return;
    }
  }

  // Pacing pins byte i of a piece to the first byte's write plus i byte times, so the schedule
  // never drifts.
  auto due = Clock::now();
  for (const Piece& piece : plan) {
    due += piece.pauseBefore;
    const std::size_t step = pacing ? 1 : std::max<std::size_t>(piece.bytes.size(), 1);
    for (std::size_t i = 0; i < piece.bytes.size(); i += step) {
      if (!WaitUntil(due)) return;
      const auto chunk = std::span(piece.bytes).subspan(i, std::min(step, piece.bytes.size() - i));
      std::size_t had = 0;
      {
        // The bytes and their time go into the log before the write: once they are on the
        // line, a reader may have them before this thread runs again.
        std::lock_guard lock(mutex_);
        Exchange& logged = log_[index];
        had = logged.reply.size();
        const auto now = Clock::now();
        if (logged.reply.empty()) logged.replyFirstByte = now;
        logged.replyLastByte = now;
        logged.reply.insert(logged.reply.end(), chunk.begin(), chunk.end());
      }
      if (!WriteAll(chunk)) {
        std::lock_guard lock(mutex_);
        log_[index].reply.resize(had);  // not written after all
        break;
      }
      const auto written = Clock::now();
      due = !pacing ? written : (i == 0 ? written : due) + kByteTime;
    }
  }

  std::lock_guard lock(mutex_);
  log_[index].finished = true;
  ++finished_;
  logged_.notify_all();
}

std::vector<SimulatedDetector::Piece> SimulatedDetector::AnswerAll(
    std::span<const std::uint8_t> request) {
  std::vector<std::vector<Piece>> plans;
  for (Unit& unit : units_) {
    if (auto reply = Answer(unit, request)) {
      std::vector<Piece> plan = Plan(unit, std::move(*reply), request[1]);
      if (!plan.empty()) plans.push_back(std::move(plan));
    }
  }
  if (plans.size() <= 1) return plans.empty() ? std::vector<Piece>{} : std::move(plans.front());
  // Their first pieces go out at once, after the longest of their pauses; the rest of spoilt
  // replies follows, one detector after another.
  std::vector<std::vector<std::uint8_t>> heads;
  Piece together{{}, {}};
  for (const std::vector<Piece>& plan : plans) {
    together.pauseBefore = std::max(together.pauseBefore, plan.front().pauseBefore);
    heads.push_back(plan.front().bytes);
  }
  together.bytes = Overlap(heads);
  std::vector<Piece> pieces{std::move(together)};
  for (std::vector<Piece>& plan : plans) {
    pieces.insert(pieces.end(), std::make_move_iterator(plan.begin() + 1),
                  std::make_move_iterator(plan.end()));
  }
  return pieces;
}

std::vector<std::uint8_t> SimulatedDetector::Overlap(
    const std::vector<std::vector<std::uint8_t>>& frames) {
  if (frames.size() == 1) return frames.front();
  // The line bit time by bit time: start bit 0, eight data bits from the lowest, stop bit 1.
  constexpr std::size_t kBits = 10;
  std::size_t length = 0;
  for (std::size_t i = 0; i < frames.size(); ++i) {
    length = std::max(length, i * kCollisionSkewBits + kBits * frames[i].size());
  }
  std::vector<bool> high(length + kBits, true);
  for (std::size_t i = 0; i < frames.size(); ++i) {
    for (std::size_t k = 0; k < frames[i].size(); ++k) {
      const std::size_t at = i * kCollisionSkewBits + k * kBits;
      high[at] = false;
      for (std::size_t bit = 0; bit < 8; ++bit) {
        if (((frames[i][k] >> bit) & 1U) == 0) high[at + 1 + bit] = false;
      }
    }
  }
  std::vector<std::uint8_t> received;
  for (std::size_t at = 0; at < length;) {
    if (high[at]) {
      ++at;
      continue;
    }
    std::uint8_t byte = 0;
    for (std::size_t bit = 0; bit < 8; ++bit) {
      if (high[at + 1 + bit]) byte = static_cast<std::uint8_t>(byte | 1U << bit);
    }
    received.push_back(byte);
    at += kBits;
  }
  return received;
}

std::optional<std::vector<std::uint8_t>> SimulatedDetector::Answer(
    Unit& unit, std::span<const std::uint8_t> request) {
  DetectorConfig& config = unit.config;
  if (!config.present) return std::nullopt;
  const std::uint8_t slave = request[0];
  const std::uint8_t function = request[1];
  const bool broadcast = slave == reg::kBroadcastAddress;
  if (!broadcast && slave != config.address) return std::nullopt;

  if (request.size() != kRequestSize ||
      (function != reg::kFnReadHoldingRegisters && function != reg::kFnWriteSingleRegister)) {
    if (broadcast) return std::nullopt;
    return ExceptionReply(slave, function, kIllegalFunction);
  }
  const std::uint16_t first = static_cast<std::uint16_t>(request[2] << 8 | request[3]);
  const std::uint16_t value = static_cast<std::uint16_t>(request[4] << 8 | request[5]);
  const std::vector<std::uint8_t> echo(request.begin(), request.end());
  const auto now = Clock::now();
  if (unit.measureStart && now - *unit.measureStart >= config.measurementTime) {
    unit.resultReading = config.resistance;
    unit.resultDecimals = static_cast<std::uint16_t>(config.decimalHigh << 8 | config.decimalCount);
    unit.measureStart.reset();
  }

  std::optional<std::uint8_t> refusal;
  if (function == reg::kFnWriteSingleRegister) {
    if (first == reg::kBusAddress && value >= 1 && value <= 255) {
      config.address = static_cast<std::uint8_t>(value);
    } else if (first == reg::kStartMeasurement && value == reg::kStartMeasurementValue) {
      // The measurement runs from when the start request began on the wire: at 9600 baud its
      // first byte came a request time before its last. (A pseudo-terminal hands all eight over
      // at once; a detector that only counted from the last byte would finish just after the
      // master's 19-second read, which leaves a request time after the master began to send.)
      unit.measureStart = now - static_cast<int>(kRequestSize) * kByteTime;
    } else if (first == reg::kBusAddress || first == reg::kStartMeasurement) {
      refusal = kIllegalDataValue;
    } else {
      refusal = kIllegalDataAddress;
    }
    if (broadcast) return std::nullopt;
    if (refusal) return ExceptionReply(slave, function, *refusal);
    return echo;
  }

  // A read. The only broadcast the detector answers is the read of its address.
  if (broadcast && (first != reg::kBusAddress || value != 1)) return std::nullopt;
  const std::uint8_t self = config.address;
  if (value == 0 || value > kMaxReadCount) return ExceptionReply(self, function, kIllegalDataValue);
  if (first < kFirstRegister || first + value - 1 > kLastRegister) {
    return ExceptionReply(self, function, kIllegalDataAddress);
  }
  std::vector<std::uint8_t> reply{self, function, static_cast<std::uint8_t>(2 * value)};
  for (std::uint16_t r = first; r < first + value; ++r) {
    reply.push_back(Hi(Register(unit, r)));
    reply.push_back(Lo(Register(unit, r)));
  }
  return WithCrc(std::move(reply));
}

std::uint16_t SimulatedDetector::Register(const Unit& unit, std::uint16_t number) {
  switch (number) {
    case reg::kResistance:
      return unit.resultReading;
    case reg::kDecimalCount:
      return unit.resultDecimals;
    case reg::kVoltage:
      return unit.config.voltage;
    case reg::kStartMeasurement:
      return unit.measureStart ? 1 : 0;
    case reg::kBusAddress:
      return unit.config.address;
    default:
      return 0;
  }
}

std::vector<SimulatedDetector::Piece> SimulatedDetector::Plan(Unit& unit,
                                                              std::vector<std::uint8_t> reply,
                                                              std::uint8_t function) {
  if (unit.faultTimes == 0) return {{{}, std::move(reply)}};
  if (unit.faultTimes > 0) --unit.faultTimes;
  return Spoil(unit.fault, std::move(reply), function);
}

std::vector<SimulatedDetector::Piece> SimulatedDetector::Spoil(const Fault& f,
                                                               std::vector<std::uint8_t> reply,
                                                               std::uint8_t function) {
  // Stray bytes go in front before the reply is cut, so that the cuts count them too.
  const bool cut = f.kind == Fault::Kind::kSplit || f.kind == Fault::Kind::kTrickle;
  if (cut) reply.insert(reply.begin(), f.before.begin(), f.before.end());
  std::vector<Piece> pieces = SpoilByKind(f, std::move(reply), function);
  if (!cut && !f.before.empty()) {
    if (pieces.empty()) pieces.push_back({{}, {}});
    pieces.front().bytes.insert(pieces.front().bytes.begin(), f.before.begin(), f.before.end());
  }
  return pieces;
}

std::vector<SimulatedDetector::Piece> SimulatedDetector::SpoilByKind(
    const Fault& f, std::vector<std::uint8_t> reply, std::uint8_t function) {
  const std::size_t n = reply.size();
  switch (f.kind) {
    case Fault::Kind::kNone:
    case Fault::Kind::kStray:
      break;
    case Fault::Kind::kNoReply:
      return {};
    case Fault::Kind::kSplit: {
      std::vector<Piece> pieces;
      std::size_t at = 0;
      for (std::size_t cut : f.cuts) {
        const std::size_t end = std::min(n, at + cut);
        pieces.push_back({pieces.empty() ? std::chrono::milliseconds{} : f.pause,
                          {reply.begin() + static_cast<std::ptrdiff_t>(at),
                           reply.begin() + static_cast<std::ptrdiff_t>(end)}});
        at = end;
      }
      pieces.push_back({f.pause, {reply.begin() + static_cast<std::ptrdiff_t>(at), reply.end()}});
      return pieces;
    }
    case Fault::Kind::kTrickle: {
      std::vector<Piece> pieces;
      for (std::uint8_t byte : reply) {
        pieces.push_back({pieces.empty() ? std::chrono::nanoseconds{} : kByteTime, {byte}});
      }
      return pieces;
    }
    case Fault::Kind::kBadCrc:
      reply[n - 1] ^= 0xFF;
      reply[n - 2] ^= 0xFF;
      break;
    case Fault::Kind::kTruncate:
      reply.resize(n - std::min(n, f.count));
      break;
    case Fault::Kind::kException:
      reply = ExceptionReply(reply[0], function, f.code);
      break;
    case Fault::Kind::kWrongAddress:
      reply.resize(n - 2);
      reply[0] = f.code;
      reply = WithCrc(std::move(reply));
      break;
    case Fault::Kind::kExtraBytes:
      reply.insert(reply.end(), f.extra.begin(), f.extra.end());
      break;
    case Fault::Kind::kNoiseAfter:
      return {{{}, std::move(reply)}, {f.pause, f.extra}};
    case Fault::Kind::kTwice:
      return {{{}, reply}, {f.pause, reply}};
    case Fault::Kind::kDelay:
      return {{f.pause, std::move(reply)}};
    case Fault::Kind::kFlipBits:
      reply[f.count % n] ^= f.code;
      break;
  }
  return {{{}, std::move(reply)}};
}

bool SimulatedDetector::WriteAll(std::span<const std::uint8_t> bytes) {
  while (!bytes.empty()) {
    const ssize_t n = write(lineFd_, bytes.data(), bytes.size());
    if (n > 0) {
      bytes = bytes.subspan(static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
    // The slave's input is full: wait until the reader makes room, or a stop.
    pollfd fds[2] = {{wakeFd_, POLLIN, 0}, {lineFd_, POLLOUT, 0}};
    if (poll(fds, 2, -1) < 0 && errno != EINTR) return false;
    if (fds[0].revents != 0) return false;
  }
  return true;
}

void SimulatedDetector::SetFault(Fault fault, int times) {
  std::lock_guard lock(mutex_);
  for (Unit& unit : units_) {
    unit.faultTimes = fault.kind == Fault::Kind::kNone ? 0 : times;
    unit.fault = fault;
  }
}

std::size_t SimulatedDetector::SetFault(std::uint8_t address, Fault fault, int times) {
  std::lock_guard lock(mutex_);
  std::size_t count = 0;
  for (Unit& unit : units_) {
    if (unit.config.address != address) continue;
    unit.faultTimes = fault.kind == Fault::Kind::kNone ? 0 : times;
    unit.fault = fault;
    ++count;
  }
  return count;
}

void SimulatedDetector::SetAddress(std::uint8_t address) {
  std::lock_guard lock(mutex_);
  for (Unit& unit : units_) unit.config.address = address;
}

void SimulatedDetector::SetResistance(std::uint16_t reading, std::uint8_t decimalCount,
                                      std::uint8_t high) {
  std::lock_guard lock(mutex_);
  for (Unit& unit : units_) {
    unit.config.resistance = reading;
    unit.config.decimalCount = decimalCount;
    unit.config.decimalHigh = high;
  }
}

void SimulatedDetector::SetVoltage(std::uint16_t volts) {
  std::lock_guard lock(mutex_);
  for (Unit& unit : units_) unit.config.voltage = volts;
}

void SimulatedDetector::SetMeasurementTime(std::chrono::milliseconds time) {
  std::lock_guard lock(mutex_);
  for (Unit& unit : units_) unit.config.measurementTime = time;
}

void SimulatedDetector::SetPacing(bool on) {
  std::lock_guard lock(mutex_);
  line_.pacing = on;
}

void SimulatedDetector::SetEcho(bool on) {
  std::lock_guard lock(mutex_);
  line_.echo = on;
}

void SimulatedDetector::SetPresent(bool present) {
  std::lock_guard lock(mutex_);
  for (Unit& unit : units_) unit.config.present = present;
}

std::size_t SimulatedDetector::SetPresent(std::uint8_t address, bool present) {
  std::lock_guard lock(mutex_);
  std::size_t count = 0;
  for (Unit& unit : units_) {
    if (unit.config.address != address) continue;
    unit.config.present = present;
    ++count;
  }
  return count;
}

std::uint8_t SimulatedDetector::Address() const {
  std::lock_guard lock(mutex_);
  return units_.front().config.address;
}

DetectorConfig SimulatedDetector::Config() const {
  return Detectors().front();
}

std::vector<DetectorConfig> SimulatedDetector::Detectors() const {
  std::lock_guard lock(mutex_);
  std::vector<DetectorConfig> configs;
  for (const Unit& unit : units_) {
    DetectorConfig config = unit.config;
    config.pacing = line_.pacing;
    config.echo = line_.echo;
    config.strayBeforeEcho = line_.strayBeforeEcho;
    configs.push_back(config);
  }
  return configs;
}

std::vector<Exchange> SimulatedDetector::Exchanges() const {
  std::lock_guard lock(mutex_);
  return log_;
}

std::size_t SimulatedDetector::ExchangeCount() const {
  std::lock_guard lock(mutex_);
  return log_.size();
}

bool SimulatedDetector::WaitForExchanges(std::size_t count,
                                         std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return logged_.wait_for(lock, timeout, [&] { return finished_ >= count; });
}

std::size_t SimulatedDetector::DroppedBytes() const {
  std::lock_guard lock(mutex_);
  return dropped_;
}

std::size_t SimulatedDetector::EchoedBytes() const {
  std::lock_guard lock(mutex_);
  return echoed_;
}

std::vector<SimulatedDetector::Piece> SimulatedDetector::Respond(
    std::span<const std::uint8_t> request) {
  std::lock_guard lock(mutex_);
  Exchange exchange;
  exchange.request.assign(request.begin(), request.end());
  std::vector<Piece> plan;
  if (request.size() >= 2 && Crc16(request.first(request.size() - 2)) ==
                                 static_cast<std::uint16_t>(request[request.size() - 2] |
                                                            request[request.size() - 1] << 8)) {
    plan = AnswerAll(request);
  }
  for (const Piece& piece : plan) {
    exchange.reply.insert(exchange.reply.end(), piece.bytes.begin(), piece.bytes.end());
  }
  log_.push_back(std::move(exchange));
  logged_.notify_all();
  return plan;
}

}  // namespace karvello::sim
