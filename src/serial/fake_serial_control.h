#pragma once
// An in-memory serial line for tests: records what the tool sends and lets a test play the
// detector's side, byte by byte if it likes. Frames are assembled as on the real line; the test
// says when the line falls silent.

#include <set>
#include <string>
#include <vector>

#include "serial/frame_assembler.h"
#include "serial/serial_control.h"

namespace karvello {

class FakeSerialControl : public SerialControl {
 public:
  // The port numbers that open; `held` ones exist but are in use by another program.
  explicit FakeSerialControl(std::set<int> available = {1}, std::set<int> held = {});

  void SetCommPort(int number) override { port_ = number; }
  int CommPort() const override { return port_; }
  bool SetPortOpen(bool open) override;
  bool PortOpen() const override { return open_; }
  void SetRThreshold(int bytes) override;
  bool Output(std::span<const std::uint8_t> bytes) override;
  void ClearInBuffer() override;
  void ClearOutBuffer() override;
  int CommEvent() const override { return event_; }
  std::vector<std::uint8_t> Input() override;

  // The detector's side.
  void Receive(std::vector<std::uint8_t> bytes);
  void FallSilent();
  // Delivers an event of another kind than a receive.
  void RaiseEvent(int kind);
  // The line fails, as when a USB adapter is pulled: the port closes and an error event comes.
  void FailLine();
  void SetAvailable(std::set<int> available) { available_ = std::move(available); }

  // What the tool did, for the test to read.
  const std::vector<std::vector<std::uint8_t>>& Written() const { return written_; }
  int RThreshold() const { return threshold_; }
  // Every call in order, as short words ("open 3", "close", "threshold 9", "write", "clear-in",
  // "clear-out").
  const std::vector<std::string>& Calls() const { return calls_; }
  std::size_t Waiting() const { return assembler_.Pending(); }
  void ForgetCalls() {
    calls_.clear();
    written_.clear();
  }

 private:
  void Deliver();

  std::set<int> available_;
  std::set<int> held_;
  int port_ = 1;
  bool open_ = false;
  int threshold_ = 0;
  int event_ = 0;
  FrameAssembler assembler_;
  std::vector<std::uint8_t> current_;
  std::vector<std::vector<std::uint8_t>> written_;
  std::vector<std::string> calls_;
};

}  // namespace karvello
