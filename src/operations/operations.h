#pragma once
// The detector operations: sending each request step, the six timers that time them, and the
// handling of replies. Everything runs on the one thread of the event loop; the tick and receive
// handlers are plain member functions, so a test can call them in any order without waiting.

#include <cstdint>
#include <functional>
#include <vector>

#include "framing/frames.h"
#include "operations/interval_timer.h"
#include "operations/reports.h"
#include "operations/window_texts.h"
#include "serial/serial_control.h"

namespace karvello {

// What the window holds besides its controls. All zero or empty at start.
struct FormState {
  std::vector<std::uint8_t> RxBytes;  // the frame of the last receive event
  CommandCode PendingCommand = CMD_NONE;
  std::int16_t SetTimeoutTicks = 0;    // Timer1
  std::int16_t AddrTimeoutTicks = 0;   // Timer2
  std::int16_t ResTimeoutTicks = 0;    // Timer3
  std::int16_t SetDelayTicks = 0;      // Timer4
  std::int16_t VoltTimeoutTicks = 0;   // Timer5
  std::int16_t MeasureDelayTicks = 0;  // Timer6
  std::uint8_t CrcLo = 0;              // CRC of the last frame built
  std::uint8_t CrcHi = 0;
  std::uint8_t SentCrcLo = 0;  // CRC of the first frame of set address or query resistance
  std::uint8_t SentCrcHi = 0;
};

class Operations {
 public:
  Operations(SerialControl& comm, WindowTexts& texts);
  ~Operations();
  Operations(const Operations&) = delete;
  Operations& operator=(const Operations&) = delete;

  // The four buttons.
  void SetAddress() { SendCommand(CMD_SET_ADDRESS); }
  void QueryAddress() { SendCommand(CMD_QUERY_ADDRESS); }
  void QueryResistance() { SendCommand(CMD_QUERY_RESISTANCE); }
  void QueryVoltage() { SendCommand(CMD_QUERY_VOLTAGE); }

  // Records `code` as pending, builds its frame from the address box, arms its timer, writes
  // the frame and returns. A set-address request for an address box that is not a whole number
  // from 1 to 255, and a resistance query without an address, send nothing and fail at once.
  void SendCommand(CommandCode code);

  // Tick events.
  void Timer1_Timer();  // set-address reply time-out
  void Timer2_Timer();  // query-address reply time-out
  void Timer3_Timer();  // resistance reply time-out
  void Timer4_Timer();  // delay from the address broadcast to its confirmation
  void Timer5_Timer();  // voltage reply time-out
  void Timer6_Timer();  // measurement wait

  // The serial line's receive event.
  void MSComm1_OnComm();

  // Failure texts, each replacing the whole log.
  void ReportSetFailure();
  void ReportQueryAddressFailure();
  void ReportResistanceFailure();
  void ReportVoltageFailure();

  const FormState& State() const { return state_; }
  // Timer 1 to 6.
  const IntervalTimer& Timer(int number) const;

  // Called after every event that may have changed the timers or their counters, for a view
  // that follows the measurement.
  void SetOnStateChanged(std::function<void()> handler) { onStateChanged_ = std::move(handler); }

 private:
  void OnSetAddressReply();
  void OnQueryAddressReply();
  void OnResistanceReply();
  void OnVoltageReply();

  void Write(const std::optional<Report>& report);
  IntervalTimer& TimerRef(int number);
  template <typename Action>
  void Tick(std::int16_t& counter, std::int16_t limit, Action action);
  void TimeOut(int timer, std::int16_t& counter, void (Operations::*report)());
  void Notify();

  SerialControl& comm_;
  WindowTexts& texts_;
  FormState state_;
  IntervalTimer timer1_;
  IntervalTimer timer2_;
  IntervalTimer timer3_;
  IntervalTimer timer4_;
  IntervalTimer timer5_;
  IntervalTimer timer6_;
  std::function<void()> onStateChanged_;
};

}  // namespace karvello
