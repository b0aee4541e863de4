#pragma once
// The engine: carries out requests on the serial line and hands up their outcomes. A request
// fixes the operation's address and the frames it sends; each request goes out with the reply it
// awaits, and what the line hands up is judged against the request sent last, whichever
// operation it belongs to. Operations are not locked against each other: each has its own state
// and its own delay and time-out, and a new request of an operation in flight starts it over
// without restarting a delay or time-out that runs. Everything runs on the thread of the event
// loop; a test can run the deadlines out and hand up replies in any order without waiting.

#include <array>
#include <functional>
#include <memory>
#include <optional>

#include "engine/deadline.h"
#include "engine/operations.h"
#include "engine/outcome.h"
#include "serial/serial_line.h"

namespace karvello {

class Engine {
 public:
  using OutcomeHandler = std::function<void(const Outcome&)>;
  using ProgressHandler = std::function<void(const Progress&)>;

  // The line must outlive the engine, which takes the line's handlers.
  explicit Engine(SerialLine& line);
  ~Engine();
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  // Starts `request`. A request without a valid address ends at once, not sent. A write that
  // fails (no port open) is not reported: the operation ends by its time-out.
  void Start(const Request& request);

  void SetOnOutcome(OutcomeHandler handler) { onOutcome_ = std::move(handler); }
  // Each request sent, each change of phase and each second of a delay.
  void SetOnProgress(ProgressHandler handler) { onProgress_ = std::move(handler); }
  // The port went away, after the outcomes of the operations it ended.
  void SetOnLineLost(std::function<void()> handler) { onLineLost_ = std::move(handler); }

  Phase PhaseOf(Operation operation) const { return Of(operation).phase; }
  Progress ProgressOf(Operation operation) const;
  // The delay before an operation's second request, and the time-out of its reply.
  Deadline& DelayOf(Operation operation) { return *Of(operation).delay; }
  Deadline& TimeoutOf(Operation operation) { return *Of(operation).timeout; }
  const Deadline& DelayOf(Operation operation) const { return *Of(operation).delay; }
  const Deadline& TimeoutOf(Operation operation) const { return *Of(operation).timeout; }

 private:
  // One operation: what its last request fixed, and where it stands.
  struct InFlight {
    Phase phase = Phase::kIdle;
    std::uint8_t address = 0;
    std::array<RequestFrame, 2> frames{};
    std::size_t sent = 0;  // requests of the current run sent
    std::unique_ptr<Deadline> delay;
    std::unique_ptr<Deadline> timeout;
  };
  // The request sent last; every reply is judged against it.
  struct Last {
    Operation operation;
    std::optional<std::size_t> step;  // none after a request that was not sent
  };

  void Send(Operation operation, std::size_t index);
  void OnReceived(const Received& received);
  void OnTimedOut(Operation operation);
  void OnLineLost();
  // Ends `operation` with `result`; its time-out stops.
  void End(Operation operation, Result result, std::vector<std::uint8_t> reply,
           std::optional<Reading> value = std::nullopt);
  void Tell(Operation operation, std::optional<std::size_t> sentStep = std::nullopt);
  InFlight& Of(Operation operation) { return flights_[static_cast<std::size_t>(operation)]; }
  const InFlight& Of(Operation operation) const {
    return flights_[static_cast<std::size_t>(operation)];
  }

  SerialLine& line_;
  std::array<InFlight, kAllOperationCount> flights_;
  std::optional<Last> last_;
  OutcomeHandler onOutcome_;
  ProgressHandler onProgress_;
  std::function<void()> onLineLost_;
};

}  // namespace karvello
