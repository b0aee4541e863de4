#include "operations/operations.h"

#include <stdexcept>

#include "framing/frame_text.h"
#include "framing/numeric.h"
#include "operations/timing.h"
#include "serial/reply_check.h"

namespace karvello {

using timing::kMeasureTick;
using timing::kShortTick;

Operations::Operations(SerialControl& comm, WindowTexts& texts)
    : comm_(comm),
      texts_(texts),
      timer1_(kShortTick, [this] { Timer1_Timer(); }),
      timer2_(kShortTick, [this] { Timer2_Timer(); }),
      timer3_(kShortTick, [this] { Timer3_Timer(); }),
      timer4_(kShortTick, [this] { Timer4_Timer(); }),
      timer5_(kShortTick, [this] { Timer5_Timer(); }),
      timer6_(kMeasureTick, [this] { Timer6_Timer(); }) {
  comm_.SetOnComm([this] { MSComm1_OnComm(); });
}

Operations::~Operations() {
  comm_.SetOnComm(nullptr);
}

IntervalTimer& Operations::TimerRef(int number) {
  switch (number) {
    case 1:
      return timer1_;
    case 2:
      return timer2_;
    case 3:
      return timer3_;
    case 4:
      return timer4_;
    case 5:
      return timer5_;
    case 6:
      return timer6_;
    default:
      throw std::out_of_range("there are timers 1 to 6");
  }
}

const IntervalTimer& Operations::Timer(int number) const {
  return const_cast<Operations*>(this)->TimerRef(number);
}

void Operations::SendCommand(CommandCode code) {
  comm_.SetRThreshold(1);
  if (code == CMD_READ_RESISTANCE) comm_.SetRThreshold(static_cast<int>(ReplyLengthOf(code)));
  state_.PendingCommand = code;

  const std::string address = texts_.AddressText();
  RequestFrame frame{};
  switch (code) {
    case CMD_SET_ADDRESS:
      // A broadcast write re-addresses every detector on the line: only a real address goes.
      if (!IsValidDeviceAddress(address)) {
        ReportSetFailure();
        Notify();
        return;
      }
      frame = BuildRequestFrame(code, address, state_.CrcLo, state_.CrcHi);
      state_.SentCrcLo = state_.CrcLo;
      state_.SentCrcHi = state_.CrcHi;
      timer4_.TurnOn();
      break;
    case CMD_SET_ADDRESS_CONFIRM:
      timer4_.TurnOff();
      state_.SetDelayTicks = 0;
      // The address box is read again; should it no longer hold a real address, a write to
      // slave 0 would re-address every detector on the line.
      if (!IsValidDeviceAddress(address)) {
        ReportSetFailure();
        Notify();
        return;
      }
      frame = BuildRequestFrame(code, address, state_.CrcLo, state_.CrcHi);
      timer1_.TurnOn();
      break;
    case CMD_QUERY_ADDRESS:
      frame = BuildRequestFrame(code, address, state_.CrcLo, state_.CrcHi);
      timer2_.TurnOn();
      break;
    case CMD_QUERY_RESISTANCE:
      if (NumericValue(address) == 0) {
        ReportResistanceFailure();
        Notify();
        return;
      }
      frame = BuildRequestFrame(code, address, state_.CrcLo, state_.CrcHi);
      state_.SentCrcLo = state_.CrcLo;
      state_.SentCrcHi = state_.CrcHi;
      timer6_.TurnOn();
      texts_.SetLogText(std::string(text::kMeasuring));
      break;
    case CMD_READ_RESISTANCE:
      timer6_.TurnOff();
      state_.MeasureDelayTicks = 0;
      frame = BuildRequestFrame(code, address, state_.CrcLo, state_.CrcHi);
      timer3_.TurnOn();
      break;
    case CMD_QUERY_VOLTAGE:
      frame = BuildRequestFrame(code, address, state_.CrcLo, state_.CrcHi);
      timer5_.TurnOn();
      break;
    default:
      Notify();
      return;  // not a request of the tool
  }
  // A write that fails (no port open) is not reported: the operation ends by its time-out.
  comm_.Output(frame);
  comm_.ClearInBuffer();
  comm_.ClearOutBuffer();
  Notify();
}

void Operations::TimeOut(int timer, std::int16_t& counter, void (Operations::*report)()) {
  (this->*report)();
  TimerRef(timer).TurnOff();
  counter = 0;
}

// A tick adds one to the counter until it has reached its limit; the tick after that acts.
template <typename Action>
void Operations::Tick(std::int16_t& counter, std::int16_t limit, Action action) {
  if (counter < limit) {
    ++counter;
  } else {
    action();
  }
  Notify();
}

void Operations::Timer1_Timer() {
  Tick(state_.SetTimeoutTicks, timing::kReplyTimeoutLimit,
       [this] { TimeOut(1, state_.SetTimeoutTicks, &Operations::ReportSetFailure); });
}

void Operations::Timer2_Timer() {
  Tick(state_.AddrTimeoutTicks, timing::kReplyTimeoutLimit,
       [this] { TimeOut(2, state_.AddrTimeoutTicks, &Operations::ReportQueryAddressFailure); });
}

void Operations::Timer3_Timer() {
  Tick(state_.ResTimeoutTicks, timing::kReplyTimeoutLimit,
       [this] { TimeOut(3, state_.ResTimeoutTicks, &Operations::ReportResistanceFailure); });
}

void Operations::Timer4_Timer() {
  // SendCommand turns this timer off and zeroes its counter.
  Tick(state_.SetDelayTicks, timing::kSetDelayLimit,
       [this] { SendCommand(CMD_SET_ADDRESS_CONFIRM); });
}

void Operations::Timer5_Timer() {
  Tick(state_.VoltTimeoutTicks, timing::kReplyTimeoutLimit,
       [this] { TimeOut(5, state_.VoltTimeoutTicks, &Operations::ReportVoltageFailure); });
}

void Operations::Timer6_Timer() {
  Tick(state_.MeasureDelayTicks, timing::kMeasureDelayLimit,
       [this] { SendCommand(CMD_READ_RESISTANCE); });
}

void Operations::MSComm1_OnComm() {
  if (comm_.CommEvent() != SerialControl::kEvReceive) return;
  state_.RxBytes = comm_.Input();
  // Bytes that came after this frame stay: they begin the next one.
  comm_.ClearOutBuffer();

  struct Branch {
    int timer;
    std::int16_t* counter;
    void (Operations::*onGood)();
    void (Operations::*onBad)();
  };
  Branch branch{};
  switch (state_.PendingCommand) {
    case CMD_SET_ADDRESS_CONFIRM:
      branch = {1, &state_.SetTimeoutTicks, &Operations::OnSetAddressReply,
                &Operations::ReportSetFailure};
      break;
    case CMD_QUERY_ADDRESS:
      branch = {2, &state_.AddrTimeoutTicks, &Operations::OnQueryAddressReply,
                &Operations::ReportQueryAddressFailure};
      break;
    case CMD_READ_RESISTANCE:
      branch = {3, &state_.ResTimeoutTicks, &Operations::OnResistanceReply,
                &Operations::ReportResistanceFailure};
      break;
    case CMD_QUERY_VOLTAGE:
      branch = {5, &state_.VoltTimeoutTicks, &Operations::OnVoltageReply,
                &Operations::ReportVoltageFailure};
      break;
    default:
      return;  // no reply awaited: the bytes are dropped
  }
  const auto verdict =
      JudgeReply(state_.PendingCommand, state_.RxBytes, NumericValue(texts_.AddressText()));
  if (verdict == ReplyVerdict::kNoise || verdict == ReplyVerdict::kDiscard) return;
  (this->*(verdict == ReplyVerdict::kGood ? branch.onGood : branch.onBad))();
  TimerRef(branch.timer).TurnOff();
  *branch.counter = 0;
  Notify();
}

void Operations::Write(const std::optional<Report>& report) {
  if (!report) return;
  bool first = true;
  for (const auto& piece : *report) {
    texts_.SetLogText(first ? piece : texts_.LogText() + piece);
    first = false;
  }
}

void Operations::OnSetAddressReply() {
  Write(SetAddressReport(state_.RxBytes, texts_.AddressText(), {state_.SentCrcLo, state_.SentCrcHi},
                         {state_.CrcLo, state_.CrcHi}));
}

void Operations::OnQueryAddressReply() {
  const auto report = QueryAddressReport(state_.RxBytes);
  if (!report) return;
  Write(report);
  const std::string address = std::to_string(state_.RxBytes[0]);
  texts_.SetAddressText("");
  texts_.SetAddressText(address);
}

void Operations::OnResistanceReply() {
  Write(ResistanceReport(state_.RxBytes, texts_.AddressText(), {state_.SentCrcLo, state_.SentCrcHi},
                         {state_.CrcLo, state_.CrcHi}));
}

void Operations::OnVoltageReply() {
  Write(VoltageReport(state_.RxBytes, texts_.AddressText(), {state_.CrcLo, state_.CrcHi}));
}

void Operations::ReportSetFailure() {
  texts_.SetLogText(std::string(text::kSetFailed));
}
void Operations::ReportQueryAddressFailure() {
  texts_.SetLogText(std::string(text::kQueryFailed));
}
void Operations::ReportResistanceFailure() {
  texts_.SetLogText(std::string(text::kQueryFailed));
}
void Operations::ReportVoltageFailure() {
  texts_.SetLogText(std::string(text::kQueryFailed));
}

void Operations::Notify() {
  if (onStateChanged_) onStateChanged_();
}

}  // namespace karvello
