#pragma once
// An in-memory serial line for tests: records what the tool sends and lets a test play the
// detector's side, byte by byte if it likes, and say when the line falls silent.

#include <functional>
#include <set>
#include <string>
#include <vector>

#include "serial/serial_line.h"

namespace karvello {

class FakeSerialLine : public SerialLine {
 public:
  // The port numbers that open; `held` ones exist but are in use by another program.
  explicit FakeSerialLine(std::set<int> available = {1}, std::set<int> held = {});

  bool Open(int number);
  // A port number as Open(number); another address when SetOpening lists its text as given.
  bool Open(const LineAddress& address) override;
  void Close() override;
  bool IsOpen() const override { return port_ != 0 || !name_.empty(); }
  // The number of the port open; 0 when none is, or the line is no numbered port.
  int Port() const { return port_; }
  std::string Name() const override;
  bool CarriesBroadcasts() const override { return carriesBroadcasts_; }
  void SetOpening(std::set<std::string> addresses) { addresses_ = std::move(addresses); }
  // As a Modbus TCP gateway: no broadcast passes.
  void SetCarriesBroadcasts(bool carries) { carriesBroadcasts_ = carries; }
  // Packs the frames as Modbus TCP does, each request a transaction of its own.
  void UseModbusTcp() { UsePacking(std::make_unique<MbapPacking>()); }

  // The detector's side.
  void Receive(std::span<const std::uint8_t> bytes);
  void Receive(std::initializer_list<std::uint8_t> bytes) { Receive(std::span(bytes)); }
  void FallSilent() { SerialLine::FallSilent(); }
  // The device goes away, as when a USB adapter is pulled: the port closes and the loss is told.
  void Pull();
  void SetAvailable(std::set<int> available) { available_ = std::move(available); }
  bool HasWaiting() const { return SerialLine::HasWaiting(); }
  // Called with each frame the tool writes, after it is recorded.
  void SetOnWritten(std::function<void(std::span<const std::uint8_t>)> handler) {
    onWritten_ = std::move(handler);
  }

  // What the tool did, for the test to read.
  const std::vector<std::vector<std::uint8_t>>& Written() const { return written_; }
  // Every call in order, as short words ("open 3", "close", "drop", "write").
  const std::vector<std::string>& Calls() const { return calls_; }
  void ForgetCalls() {
    calls_.clear();
    written_.clear();
  }

 protected:
  bool Write(std::span<const std::uint8_t> bytes) override;
  void DropReceived() override { calls_.emplace_back("drop"); }

 private:
  std::set<int> available_;
  std::set<int> held_;
  int port_ = 0;
  std::string name_;  // the address open, when it is no port number
  std::set<std::string> addresses_;
  bool carriesBroadcasts_ = true;
  std::vector<std::vector<std::uint8_t>> written_;
  std::vector<std::string> calls_;
  std::function<void(std::span<const std::uint8_t>)> onWritten_;
};

}  // namespace karvello
