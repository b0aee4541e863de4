#pragma once
// The serial line to the detector, as the tool uses it: one port at a time, 9600 baud, 8N1, raw
// bytes. The tool sends a request together with the shape of the reply it awaits; the line hands
// up each reply it finds (and the bytes that cannot be one) as it comes, and says when the port
// is lost.

#include <cstdint>
#include <functional>
#include <optional>
#include <span>

#include "framing/replies.h"
#include "serial/line_address.h"
#include "serial/reply_finder.h"

namespace karvello {

// The ports the tool numbers: COM1 to COM16.
inline constexpr int kFirstPortNumber = 1;
inline constexpr int kLastPortNumber = 16;

class SerialLine {
 public:
  using ReceivedHandler = std::function<void(const Received&)>;
  using LostHandler = std::function<void()>;

  virtual ~SerialLine() = default;

  // Closes the port in use, if any, and opens port `number` (COM1 to COM16). False when that port
  // is absent or in use by another program; no port is open then.
  virtual bool Open(int number) = 0;
  // Closes the port in use, if any, and opens `address`. A port number goes to Open(number); a
  // line that cannot carry the address's kind refuses it.
  virtual bool Open(const LineAddress& address);
  virtual void Close() = 0;
  virtual bool IsOpen() const = 0;
  // The number of the open port; 0 when none is open or the line is no numbered port.
  virtual int Port() const = 0;
  // The open line's address as given ("COM3", "/dev/ttyUSB0", "rtu+tcp://10.0.0.7:4001");
  // empty when none is open.
  virtual std::string Name() const;
  // Why the last open failed, in the system's words; empty when not known.
  virtual std::string OpenError() const { return {}; }
  // False for a line that passes no broadcast on (a Modbus TCP gateway): the tool sends none.
  virtual bool CarriesBroadcasts() const { return true; }

  // Drops whatever waits, sends `request` and from then on looks for `reply` in what arrives.
  // Without a `reply` nothing is awaited and what arrives is dropped. False when no port is open
  // or the write failed.
  bool Send(std::span<const std::uint8_t> request, std::optional<ReplyShape> reply);

  void SetOnReceived(ReceivedHandler handler) { onReceived_ = std::move(handler); }
  void SetOnLost(LostHandler handler) { onLost_ = std::move(handler); }

  // True once the line has given back a request of the tool's own verbatim.
  bool Echoing() const { return finder_.Echoing(); }

 protected:
  // Writes all bytes, in order.
  virtual bool Write(std::span<const std::uint8_t> bytes) = 0;
  // Discards what the port has received and not yet handed over.
  virtual void DropReceived() = 0;

  // For the implementations: bytes that arrived, the line falling silent after them, the port
  // opened or closed, and the port lost (already closed).
  void Arrive(std::span<const std::uint8_t> bytes);
  void FallSilent();
  void ForgetReceived() { finder_.Reset(); }
  void PortLost();
  bool HasWaiting() const { return finder_.HasWaiting(); }

 private:
  void HandUp(const Received& received);

  ReplyFinder finder_;
  ReceivedHandler onReceived_;
  LostHandler onLost_;
};

}  // namespace karvello
