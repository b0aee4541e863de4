#pragma once
// The engine carries out requests on the serial line and hands up their outcomes. What the line
// hands up is judged against the request sent last, whichever operation it belongs to.
// Operations are not locked against each other: each has its own phase, delay and time-out, and
// a new request of an operation in flight starts it over without restarting a delay or time-out
// that runs. Everything runs on the event loop's thread; a test can run the deadlines out and
// hand up replies in any order without waiting.

#include <algorithm>
#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "engine/deadline.h"
#include "engine/operations.h"
#include "engine/outcome.h"
#include "serial/serial_line.h"

namespace karvello {

// A reply that came after its request's time-out, on a line whose replies name no request.
struct LateReply {
  Operation operation;
  std::uint8_t address = 0;
  std::chrono::milliseconds after{0};  // from its request
  std::chrono::milliseconds wait{0};   // the wait that ran out
  std::size_t count = 0;               // the late replies set aside so far, this one included
};

// After a time-out on a line of RTU frames (a serial port, a serial server), which carry no
// transaction number, a reply may still be on its way, and once the next request has gone it
// would pass for the answer to that one. So what arrives before the next request is no answer to
// it (a late reply is handed up as `again`, for the record, and told), and the next request goes
// only once a guard has passed since the time-out: as long as the wait that ran out, so that a
// reply up to twice its wait late is still set aside, and at most this long, so that a detector
// that is gone costs a watch little more. A request that gives its own wait (the scan's, which
// asks up to 255 addresses, most of them silent) keeps a tenth of it: a guard as long as its
// wait would double the scan.
inline constexpr std::chrono::milliseconds kLongestLateGuard{2000};
inline constexpr int kOwnWaitGuardShare = 10;

class Engine {
 public:
  using OutcomeHandler = std::function<void(const Outcome&)>;
  using ProgressHandler = std::function<void(const Progress&)>;

  // The line must outlive the engine, which takes the line's handlers.
  explicit Engine(SerialLine& line);
  ~Engine();
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  // Starts `request`. A request without a valid address, or a broadcast on a line that passes
  // none on, ends at once, not sent. A write that fails (no port open) is not reported: the
  // operation ends by its time-out.
  void Start(const Request& request);

  // The wait for each reply of the requests that do not give their own (none: each operation's
  // own, kReplyTimeout), from the next request on.
  void SetReplyWait(std::optional<std::chrono::milliseconds> wait) { replyWait_ = wait; }
  // The longest `operation` may take on this engine's line: each step's wait in full (the
  // reply's as set above), and on a line of RTU frames the guard after its last reply's
  // time-out, before the next request can go.
  std::chrono::milliseconds LongestTime(Operation operation) const;

  void SetOnOutcome(OutcomeHandler handler) { onOutcome_ = std::move(handler); }
  // A reply that came after its time-out and was set aside (its `again` outcome follows).
  void SetOnLate(std::function<void(const LateReply&)> handler) { onLate_ = std::move(handler); }
  std::size_t LateReplies() const { return lateReplies_; }
  // The guard after a time-out, to read; a test runs it out rather than waiting.
  const Deadline& Guard() const { return *guard_; }
  void RunOutGuard() { guard_->Expire(); }
  // Each request sent, each change of phase and each second of a delay.
  void SetOnProgress(ProgressHandler handler) { onProgress_ = std::move(handler); }
  // The port went away, after the outcomes of the operations it ended.
  void SetOnLineLost(std::function<void()> handler) { onLineLost_ = std::move(handler); }

  // Ends `operation` where it stands, without an outcome: its delay and time-out stop, nothing
  // more of it goes out, and what comes for it from now on is noise. An operation not in flight
  // is left as it is.
  void Cancel(Operation operation);

  // A request held back by the guard after a time-out is in flight, awaiting.
  Phase PhaseOf(Operation operation) const {
    return IsHeld(operation) ? Phase::kAwaiting : Of(operation).phase;
  }
  bool InFlight(Operation operation) const {
    const Phase phase = PhaseOf(operation);
    return phase == Phase::kDelaying || phase == Phase::kAwaiting;
  }
  Progress ProgressOf(Operation operation) const;
  // The delay before an operation's second request and the time-out of its reply, to read.
  const Deadline& DelayOf(Operation operation) const { return *Of(operation).delay; }
  const Deadline& TimeoutOf(Operation operation) const { return *Of(operation).timeout; }

  // Runs the delay or the time-out of `operation` out now, as though its time had passed, or
  // lets a second of its delay pass: for the tests, the fuzzer and the soak, which do not wait.
  // A deadline that does not run is left as it is.
  enum class Wait { kDelay, kTimeout };
  void RunOut(Operation operation, Wait wait);
  void PassSecond(Operation operation) { Of(operation).delay->Tick(); }

 private:
  // One operation: what its last request fixed, and where it stands.
  struct Flight {
    Phase phase = Phase::kIdle;
    std::uint8_t address = 0;
    std::array<RequestFrame, 2> frames{};
    std::array<std::vector<std::uint8_t>, 2> onWire{};  // the frames as they went on the wire
    std::size_t sent = 0;                               // requests of the current run sent
    std::unique_ptr<Deadline> delay;
    std::unique_ptr<Deadline> timeout;
    std::chrono::steady_clock::time_point sentAt{};  // the request sent last
    bool ownWait = false;                            // the wait is the request's own
    bool timedOut = false;                           // its last run ended by its time-out
    bool lateTold = false;                           // and a late reply to it has been told
  };
  // The request sent last; every reply is judged against it.
  struct Last {
    Operation operation;
    std::optional<std::size_t> step;  // none after a request that was not sent
  };

  // A request asked for while the guard after a time-out runs, to start once it has passed.
  struct Held {
    Operation operation;
    std::uint8_t address;
    std::chrono::milliseconds wait;
    bool ownWait;
  };
  bool IsHeld(Operation operation) const {
    return std::any_of(held_.begin(), held_.end(),
                       [operation](const Held& held) { return held.operation == operation; });
  }
  void Begin(const Held& held);
  void SendHeld();
  void Send(Operation operation, std::size_t index);
  void NoteLate(Operation operation);
  void OnReceived(const Received& received);
  void OnTimedOut(Operation operation);
  void OnLineLost();
  // Ends `operation` with `result`; its time-out stops.
  void End(Operation operation, Result result, std::span<const std::uint8_t> reply,
           std::optional<Reading> value = std::nullopt);
  void Tell(Operation operation, std::optional<std::size_t> sentStep = std::nullopt);
  Flight& Of(Operation operation) { return flights_[static_cast<std::size_t>(operation)]; }
  const Flight& Of(Operation operation) const {
    return flights_[static_cast<std::size_t>(operation)];
  }

  SerialLine& line_;
  std::array<Flight, kAllOperationCount> flights_;
  std::optional<Last> last_;
  std::optional<std::chrono::milliseconds> replyWait_;
  std::unique_ptr<Deadline> guard_;
  // The requests that wait for the guard, in the order they were asked for.
  std::vector<Held> held_;
  std::size_t lateReplies_ = 0;
  std::function<void(const LateReply&)> onLate_;
  OutcomeHandler onOutcome_;
  ProgressHandler onProgress_;
  std::function<void()> onLineLost_;
};

}  // namespace karvello
