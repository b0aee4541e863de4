#include "serial/fake_serial_control.h"

namespace karvello {

FakeSerialControl::FakeSerialControl(std::set<int> available, std::set<int> held)
    : available_(std::move(available)), held_(std::move(held)) {}

bool FakeSerialControl::SetPortOpen(bool open) {
  if (!open) {
    calls_.push_back("close");
    open_ = false;
    assembler_.Clear();
    return true;
  }
  calls_.push_back("open " + std::to_string(port_));
  if (open_ || !available_.contains(port_) || held_.contains(port_)) return false;
  open_ = true;
  return true;
}

void FakeSerialControl::SetRThreshold(int bytes) {
  calls_.push_back("threshold " + std::to_string(bytes));
  threshold_ = bytes;
}

bool FakeSerialControl::Output(std::span<const std::uint8_t> bytes) {
  calls_.push_back("write");
  if (!open_) return false;
  written_.emplace_back(bytes.begin(), bytes.end());
  return true;
}

void FakeSerialControl::ClearInBuffer() {
  calls_.push_back("clear-in");
  assembler_.Clear();
}

void FakeSerialControl::ClearOutBuffer() {
  calls_.push_back("clear-out");
}

std::vector<std::uint8_t> FakeSerialControl::Input() {
  std::vector<std::uint8_t> frame;
  frame.swap(current_);
  return frame;
}

void FakeSerialControl::Receive(std::vector<std::uint8_t> bytes) {
  if (!open_) return;
  assembler_.Feed(bytes);
  Deliver();
}

void FakeSerialControl::Deliver() {
  while (auto frame = assembler_.TakeFrame()) {
    current_ = std::move(*frame);
    event_ = kEvReceive;
    RaiseOnComm();
  }
}

void FakeSerialControl::FallSilent() {
  if (!assembler_.HasPartial()) return;
  current_ = assembler_.TakeRest();
  event_ = kEvReceive;
  RaiseOnComm();
}

void FakeSerialControl::RaiseEvent(int kind) {
  event_ = kind;
  RaiseOnComm();
}

void FakeSerialControl::FailLine() {
  open_ = false;
  assembler_.Clear();
  RaiseEvent(kEvError);
}

}  // namespace karvello
