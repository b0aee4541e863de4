#include "support/fake_serial_line.h"

namespace karvello {

FakeSerialLine::FakeSerialLine(std::set<int> available, std::set<int> held)
    : available_(std::move(available)), held_(std::move(held)) {}

bool FakeSerialLine::Open(int number) {
  Close();
  calls_.push_back("open " + std::to_string(number));
  if (number < kFirstPortNumber || number > kLastPortNumber) return false;
  if (!available_.contains(number) || held_.contains(number)) return false;
  port_ = number;
  ForgetReceived();
  return true;
}

bool FakeSerialLine::Open(const LineAddress& address) {
  if (address.kind == LineAddress::Kind::kPortNumber) return Open(address.number);
  Close();
  calls_.push_back("open " + address.text);
  if (!addresses_.contains(address.text)) return false;
  name_ = address.text;
  ForgetReceived();
  return true;
}

std::string FakeSerialLine::Name() const {
  if (!name_.empty()) return name_;
  return port_ != 0 ? "COM" + std::to_string(port_) : std::string();
}

void FakeSerialLine::Close() {
  if (!IsOpen()) return;
  calls_.emplace_back("close");
  port_ = 0;
  name_.clear();
  ForgetReceived();
}

void FakeSerialLine::Receive(std::span<const std::uint8_t> bytes) {
  if (!IsOpen()) return;  // nothing reaches a closed port
  Arrive(bytes);
}

void FakeSerialLine::Pull() {
  if (!IsOpen()) return;
  available_.erase(port_);
  port_ = 0;
  name_.clear();
  PortLost();
}

bool FakeSerialLine::Write(std::span<const std::uint8_t> bytes) {
  calls_.emplace_back("write");
  written_.emplace_back(bytes.begin(), bytes.end());
  if (onWritten_) onWritten_(bytes);
  return true;
}

}  // namespace karvello
