#pragma once
// The four operations. A press fixes the operation's address and the frames it sends; each step
// goes out with the reply it awaits, and what the line hands up is judged against that step. A
// report shows the bytes that were sent. Everything runs on the one thread of the event loop; a
// test can tick the countdowns and hand up replies in any order without waiting.

#include <array>
#include <functional>
#include <memory>
#include <optional>

#include "operations/countdown.h"
#include "operations/steps.h"
#include "operations/window_texts.h"
#include "serial/serial_line.h"

namespace karvello {

class Operations {
 public:
  // The line and the texts must outlive the operations, which take the line's handlers.
  Operations(SerialLine& line, WindowTexts& texts);
  ~Operations();
  Operations(const Operations&) = delete;
  Operations& operator=(const Operations&) = delete;

  // The four buttons. Set address gives the detector the address in the box, which must be a
  // whole number from 1 to 255; query resistance needs an address other than 0. Otherwise the
  // failure text comes at once and nothing is sent.
  void SetAddress();
  void QueryAddress();
  void QueryResistance();
  void QueryVoltage();

  // The step sent last; every reply is judged against it.
  std::optional<StepId> Pending() const { return pending_; }
  Countdown& CountdownOf(Clock clock) { return *clocks_[static_cast<std::size_t>(clock)]; }
  const Countdown& CountdownOf(Clock clock) const {
    return *clocks_[static_cast<std::size_t>(clock)];
  }

  // Called after every event that may have changed a countdown, for a view that follows the
  // measurement.
  void SetOnStateChanged(std::function<void()> handler) { onStateChanged_ = std::move(handler); }

 private:
  // What one press has fixed: the address, and the frames sent.
  struct Transaction {
    std::uint8_t address = 0;
    RequestFrame first{};
    RequestFrame second{};
  };

  void SendCommand(StepId id);
  void OnReceived(const Received& received);
  void OnReplyAccepted(const Step& step, std::span<const std::uint8_t> reply);
  void OnLineLost();
  void OnTimeOut(Clock clock, Operation operation);
  // The failure text of `operation`, the step's time-out stopped, the step answered.
  void Fail(Operation operation);
  void Answered(const Step& step);
  void Notify();
  Transaction& TransactionOf(Operation operation) {
    return transactions_[static_cast<std::size_t>(operation)];
  }

  SerialLine& line_;
  WindowTexts& texts_;
  std::array<std::unique_ptr<Countdown>, kClockCount> clocks_;
  std::array<Transaction, kOperationCount> transactions_{};
  std::optional<StepId> pending_;
  // The pending step has had its answer (a report, a failure or its time-out): from then on only
  // another whole copy of its reply counts.
  bool answered_ = false;
  std::function<void()> onStateChanged_;
};

}  // namespace karvello
