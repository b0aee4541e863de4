#pragma once
// What carries a line's bytes: a serial port, or a TCP connection to a serial server or a Modbus
// TCP gateway. A backend is made for one address (by the line factory) and moves bytes only;
// how the frames are packed for its wire and how replies are found in what comes is the line's.

#include <cstdint>
#include <functional>
#include <span>
#include <string>

namespace karvello {

// Why a line did not open.
struct OpenFailure {
  std::string error = {};   // in the system's words; empty when not known
  std::string device = {};  // the device a numbered port stands for, when one does
  bool noDevice = false;    // a numbered port no device has
  bool errorTold = false;   // the error is the news (a network line's), told with the address
  std::string reason = {};  // a serial port's: "no such device", "permission denied (...)"
};

class LineBackend {
 public:
  using ArrivedHandler = std::function<void(std::span<const std::uint8_t> bytes)>;
  using LostHandler = std::function<void()>;

  virtual ~LineBackend() = default;

  // Opens the backend's address; false when it cannot (OpenError() says why).
  virtual bool Open() = 0;
  virtual void Close() = 0;
  virtual bool IsOpen() const = 0;
  // Why the last open failed.
  virtual OpenFailure Failure() const = 0;
  // Writes all bytes, in order.
  virtual bool Write(std::span<const std::uint8_t> bytes) = 0;
  // Discards what has come and not yet been handed over.
  virtual void DropReceived() = 0;

  // Bytes that came, and the backend lost (already closed, or to connect again by the next
  // write), each told from the event loop.
  void SetOnArrived(ArrivedHandler handler) { onArrived_ = std::move(handler); }
  void SetOnLost(LostHandler handler) { onLost_ = std::move(handler); }

 protected:
  void Arrived(std::span<const std::uint8_t> bytes) {
    if (onArrived_) onArrived_(bytes);
  }
  void Lost() {
    if (onLost_) onLost_();
  }

 private:
  ArrivedHandler onArrived_;
  LostHandler onLost_;
};

}  // namespace karvello
