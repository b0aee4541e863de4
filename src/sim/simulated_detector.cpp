#include "sim/simulated_detector.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

#include "framing/crc16.h"
#include "framing/frames.h"
#include "sim/modbus_tcp.h"

namespace karvello::sim {

namespace {

// Shortest frame that can be a request: slave, function, CRC.
constexpr std::size_t kShortestFrame = 4;

LineConfig LineOf(const DetectorConfig& config) {
  return {config.pacing, config.echo, config.strayBeforeEcho};
}

// The bus of `detectors`; `lineFd`, handed over to the detector, is closed when there is none.
Bus BusOn(const std::vector<DetectorConfig>& detectors, int lineFd) {
  if (detectors.empty() && lineFd >= 0) close(lineFd);
  return Bus(detectors);
}

}  // namespace

SimulatedDetector::SimulatedDetector(DetectorConfig config)
    : SimulatedDetector(std::vector{config}, LineOf(config)) {}

SimulatedDetector::SimulatedDetector(DetectorConfig config, int lineFd)
    : SimulatedDetector(std::vector{config}, LineOf(config), lineFd) {}

SimulatedDetector::SimulatedDetector(std::vector<DetectorConfig> bus, LineConfig line)
    : pty_(std::in_place), line_(line), bus_(bus) {
  lineFd_ = pty_->MasterFd();
  Start();
}

SimulatedDetector::SimulatedDetector(std::vector<DetectorConfig> bus, LineConfig line, int lineFd)
    : lineFd_(lineFd), line_(line), bus_(BusOn(bus, lineFd)) {
  Start();
}

SimulatedDetector::SimulatedDetector(std::vector<DetectorConfig> bus, LineConfig line,
                                     TcpListener listener, TcpConfig tcp)
    : listener_(std::move(listener)), tcp_(tcp), line_(line), bus_(bus) {
  Start();
}

void SimulatedDetector::Start() {
  wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wakeFd_ < 0) {
    const int err = errno;
    if (!pty_ && lineFd_ >= 0) close(lineFd_);
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
  listener_.reset();
}

std::size_t SimulatedDetector::Connections() const {
  std::lock_guard lock(mutex_);
  return connections_;
}

void SimulatedDetector::AcceptClient() {
  const int fd = listener_->Accept();
  if (fd < 0) return;
  if (lineFd_ >= 0) CloseClient();
  lineFd_ = fd;
  std::lock_guard lock(mutex_);
  ++connections_;
}

void SimulatedDetector::CloseClient() {
  {
    // What the client had begun to send makes no request now: counted before the client can
    // see its connection closed.
    std::lock_guard lock(mutex_);
    dropped_ += pending_.size();
  }
  pending_.clear();
  arrived_.clear();
  close(lineFd_);
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
  const bool adus = tcp_.framing == TcpConfig::Framing::kModbusTcp;
  for (;;) {
    // A negative descriptor (no listener, no client yet) is left out by ppoll.
    pollfd fds[3] = {
        {wakeFd_, POLLIN, 0}, {lineFd_, POLLIN, 0}, {listener_ ? listener_->Fd() : -1, POLLIN, 0}};
    // An ADU's length says when it is whole: only RTU frames end in silence.
    const bool gap = !pending_.empty() && !adus;
    timespec left{};
    if (gap) {
      const auto wait =
          std::max(Clock::duration::zero(), arrived_.back() + kRequestGap - Clock::now());
      left.tv_nsec = std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count();
    }
    if (ppoll(fds, 3, gap ? &left : nullptr, nullptr) < 0 && errno != EINTR) return;
    if (fds[0].revents != 0) return;

    const auto now = Clock::now();
    if (gap && now - arrived_.back() > kRequestGap) TakeRequests(true);
    // What the client served has sent is taken before a new client replaces it.
    if (fds[1].revents & POLLIN) {
      if (!Read(now)) return;
    } else if (fds[1].revents & (POLLHUP | POLLERR)) {
      if (listener_) {
        CloseClient();
      } else if (!WaitUntil(now + std::chrono::milliseconds(10))) {
        // The line is gone from under us; look again a little later rather than spin.
        return;
      }
    }
    if (fds[2].revents & POLLIN) AcceptClient();
  }
}

bool SimulatedDetector::Read(Clock::time_point now) {
  std::uint8_t buffer[256];
  const ssize_t n = read(lineFd_, buffer, sizeof buffer);
  if (n <= 0) {
    // A TCP client that reads end of file, or an error, is gone.
    if (listener_ && (n == 0 || (errno != EAGAIN && errno != EINTR))) CloseClient();
    return true;
  }
  const bool adus = tcp_.framing == TcpConfig::Framing::kModbusTcp;
  bool echo = false;
  std::optional<std::uint8_t> stray;
  {
    std::lock_guard lock(mutex_);
    echo = line_.echo && !adus;
    stray = line_.strayBeforeEcho;
  }
  // The adapter hears each of the tool's bytes once it is out on the wire, a byte time after
  // the one before, and before any reply can come. A stray byte goes in front of the echo of a
  // request's first bytes.
  if (echo) {
    if (stray && pending_.empty()) WriteAll(std::span(&*stray, 1));
    auto due = now;
    for (ssize_t i = 0; i < n; ++i) {
      due += kByteTime;
      if (!WaitUntil(due)) return false;
      if (!WriteAll(std::span(buffer + i, 1))) break;
      std::lock_guard lock(mutex_);
      ++echoed_;
    }
  }
  pending_.insert(pending_.end(), buffer, buffer + n);
  arrived_.insert(arrived_.end(), static_cast<std::size_t>(n), now);
  if (adus) {
    TakeAdus();
  } else {
    TakeRequests(false);
  }
  return true;
}

void SimulatedDetector::TakeAdus() {
  while (lineFd_ >= 0) {
    const MbapStart start = FindMbapFrame(pending_);
    if (start.kind == MbapStart::Kind::kPartial) return;
    // A header no ADU has leaves nothing to find the next one by: the client is let go.
    if (start.kind == MbapStart::Kind::kBad) {
      CloseClient();
      return;
    }
    Serve(start.size);
  }
}

void SimulatedDetector::TakeRequests(bool silent) {
  auto drop = [this](std::size_t count) {
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(count));
    arrived_.erase(arrived_.begin(), arrived_.begin() + static_cast<std::ptrdiff_t>(count));
    std::lock_guard lock(mutex_);
    dropped_ += count;
  };
  while (pending_.size() >= kRequestFrameSize) {
    if (HasValidCrc(std::span(pending_).first(kRequestFrameSize))) {
      Serve(kRequestFrameSize);
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
  {
    std::lock_guard lock(mutex_);
    if (tcp_.framing == TcpConfig::Framing::kModbusTcp) {
      // A gateway writes its answer whole, once the line behind it has carried it.
      plan =
          GatewayAnswer(exchange.request, bus_.Take(RtuOfMbap(exchange.request), Clock::now()),
                        tcp_.gatewayExceptions, line_.pacing);
    } else {
      pacing = line_.pacing;
      plan = bus_.Respond(exchange.request, Clock::now());
    }
  }
  // Logged before any of the reply goes out, so the log never lags what a reader has got.
  exchange.finished = plan.empty();
  const std::size_t index = log_.Add(std::move(exchange));
  if (plan.empty()) return;

  // Pacing pins byte i of a piece to the first byte's write plus i byte times, so the schedule
  // never drifts.
  auto due = Clock::now();
  for (const Piece& piece : plan) {
    due += piece.pauseBefore;
    const std::size_t step = pacing ? 1 : std::max<std::size_t>(piece.bytes.size(), 1);
    for (std::size_t i = 0; i < piece.bytes.size(); i += step) {
      if (!WaitUntil(due)) return;
      const auto chunk = std::span(piece.bytes).subspan(i, std::min(step, piece.bytes.size() - i));
      // The bytes and their time go into the log before the write: once they are on the line,
      // a reader may have them before this thread runs again.
      const std::size_t had = log_.AddReply(index, chunk);
      if (!WriteAll(chunk)) {
        log_.CutReply(index, had);  // not written after all
        break;
      }
      const auto written = Clock::now();
      due = !pacing ? written : (i == 0 ? written : due) + kByteTime;
    }
  }
  log_.Finish(index);
}

bool SimulatedDetector::WriteAll(std::span<const std::uint8_t> bytes) {
  if (lineFd_ < 0) return false;
  while (!bytes.empty()) {
    // A socket whose client is gone fails the write instead of raising SIGPIPE.
    const ssize_t n = listener_ ? send(lineFd_, bytes.data(), bytes.size(), MSG_NOSIGNAL)
                                : write(lineFd_, bytes.data(), bytes.size());
    if (n > 0) {
      bytes = bytes.subspan(static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
    // The reader's input is full: wait until it makes room, or a stop.
    pollfd fds[2] = {{wakeFd_, POLLIN, 0}, {lineFd_, POLLOUT, 0}};
    if (poll(fds, 2, -1) < 0 && errno != EINTR) return false;
    if (fds[0].revents != 0) return false;
  }
  return true;
}

void SimulatedDetector::SetFault(Fault fault, int times) {
  std::lock_guard lock(mutex_);
  bus_.Each(std::nullopt, [&](DetectorConfig&, FaultInForce& f) { f.Set(fault, times); });
}

std::size_t SimulatedDetector::SetFault(std::uint8_t address, Fault fault, int times) {
  std::lock_guard lock(mutex_);
  return bus_.Each(address, [&](DetectorConfig&, FaultInForce& f) { f.Set(fault, times); });
}

void SimulatedDetector::SetAddress(std::uint8_t address) {
  std::lock_guard lock(mutex_);
  bus_.Each(std::nullopt, [&](DetectorConfig& c, FaultInForce&) { c.address = address; });
}

void SimulatedDetector::SetResistance(std::uint16_t reading, std::uint8_t decimalCount,
                                      std::uint8_t high) {
  std::lock_guard lock(mutex_);
  bus_.Each(std::nullopt, [&](DetectorConfig& c, FaultInForce&) {
    c.resistance = reading;
    c.decimalCount = decimalCount;
    c.decimalHigh = high;
  });
}

void SimulatedDetector::SetVoltage(std::uint16_t volts) {
  std::lock_guard lock(mutex_);
  bus_.Each(std::nullopt, [&](DetectorConfig& c, FaultInForce&) { c.voltage = volts; });
}

void SimulatedDetector::SetMeasurementTime(std::chrono::milliseconds time) {
  std::lock_guard lock(mutex_);
  bus_.Each(std::nullopt, [&](DetectorConfig& c, FaultInForce&) { c.measurementTime = time; });
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
  bus_.Each(std::nullopt, [&](DetectorConfig& c, FaultInForce&) { c.present = present; });
}

std::size_t SimulatedDetector::SetPresent(std::uint8_t address, bool present) {
  std::lock_guard lock(mutex_);
  return bus_.Each(address, [&](DetectorConfig& c, FaultInForce&) { c.present = present; });
}

std::uint8_t SimulatedDetector::Address() const {
  return Detectors().front().address;
}

DetectorConfig SimulatedDetector::Config() const {
  return Detectors().front();
}

std::vector<DetectorConfig> SimulatedDetector::Detectors() const {
  std::lock_guard lock(mutex_);
  std::vector<DetectorConfig> configs = bus_.Detectors();
  for (DetectorConfig& config : configs) {
    config.pacing = line_.pacing;
    config.echo = line_.echo;
    config.strayBeforeEcho = line_.strayBeforeEcho;
  }
  return configs;
}

std::vector<Exchange> SimulatedDetector::Exchanges() const {
  return log_.Since(0).exchanges;
}

ExchangeLog::Slice SimulatedDetector::ExchangesSince(std::size_t index) const {
  return log_.Since(index);
}

std::size_t SimulatedDetector::ExchangeCount() const {
  return log_.Count();
}

bool SimulatedDetector::WaitForExchanges(std::size_t count,
                                         std::chrono::milliseconds timeout) const {
  return log_.WaitForFinished(count, timeout);
}

std::size_t SimulatedDetector::DroppedBytes() const {
  std::lock_guard lock(mutex_);
  return dropped_;
}

std::size_t SimulatedDetector::EchoedBytes() const {
  std::lock_guard lock(mutex_);
  return echoed_;
}

std::vector<Piece> SimulatedDetector::Respond(std::span<const std::uint8_t> request) {
  Exchange exchange;
  exchange.request.assign(request.begin(), request.end());
  std::vector<Piece> plan;
  if (request.size() >= 2 && Crc16(request.first(request.size() - 2)) ==
                                 static_cast<std::uint16_t>(request[request.size() - 2] |
                                                            request[request.size() - 1] << 8)) {
    std::lock_guard lock(mutex_);
    plan = bus_.Respond(request, Clock::now());
  }
  for (const Piece& piece : plan) {
    exchange.reply.insert(exchange.reply.end(), piece.bytes.begin(), piece.bytes.end());
  }
  exchange.finished = true;
  log_.Add(std::move(exchange));
  return plan;
}

}  // namespace karvello::sim
