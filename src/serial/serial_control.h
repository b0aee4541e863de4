#pragma once
// The serial line to the detector, as the tool uses it: one port at a time, 9600 baud, 8N1,
// raw bytes. Replies are delivered as whole frames (see FrameAssembler).

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

namespace karvello {

class SerialControl {
 public:
  // Event kinds delivered to the receive event.
  static constexpr int kEvReceive = 2;   // a received frame is waiting
  static constexpr int kEvError = 1001;  // the line failed (device gone): the port was closed

  virtual ~SerialControl() = default;

  // The port number (1 to 16) that the next open acts on.
  virtual void SetCommPort(int number) = 0;
  virtual int CommPort() const = 0;
  // Opens (true) or closes (false) the port. Returns false when the port could not be opened
  // (absent, or in use by another program); the port then stays closed.
  virtual bool SetPortOpen(bool open) = 0;
  virtual bool PortOpen() const = 0;
  // Kept for the request in flight: the number of bytes its reply holds at least.
  virtual void SetRThreshold(int bytes) = 0;
  // Sends all bytes, in order. Returns false when no port is open or the write failed.
  virtual bool Output(std::span<const std::uint8_t> bytes) = 0;
  // Discards every received byte still waiting, a frame in assembly included.
  virtual void ClearInBuffer() = 0;
  // Hands what is queued for sending to the line at once. It never discards a frame already
  // written: a frame cleared away before it is on the wire would never reach the detector.
  virtual void ClearOutBuffer() = 0;
  // The kind of the event being delivered.
  virtual int CommEvent() const = 0;
  // The received frame of the event being delivered, removed from the buffer.
  virtual std::vector<std::uint8_t> Input() = 0;

  // The receive event: raised once for every whole frame, and for the bytes left when the line
  // falls silent before a frame completes; also raised with kEvError when the line fails.
  void SetOnComm(std::function<void()> handler) { onComm_ = std::move(handler); }

 protected:
  void RaiseOnComm() {
    if (onComm_) onComm_();
  }

 private:
  std::function<void()> onComm_;
};

}  // namespace karvello
