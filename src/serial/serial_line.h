#pragma once
// The line to the detectors, as the tool uses it, whatever carries it (a serial port at 9600
// baud, 8N1, a serial server or a Modbus TCP gateway on the network): one at a time, opened by
// its address. The tool sends a request together with the shape of the reply it awaits; the
// line packs it for its wire, hands up each reply it finds (and the bytes that cannot be one) as
// it comes, with the bytes as they crossed the wire, and says when the line is lost.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "framing/replies.h"
#include "serial/line_address.h"
#include "serial/packing.h"
#include "serial/reply_finder.h"

namespace karvello {

class SerialLine {
 public:
  using ReceivedHandler = std::function<void(const Received&)>;
  using LostHandler = std::function<void()>;

  SerialLine();
  virtual ~SerialLine();

  // Closes the line in use, if any, and opens `address` (a port number, a device, a network
  // line). False when the line cannot be opened, or this line cannot carry the address's kind;
  // none is open then.
  virtual bool Open(const LineAddress& address) = 0;
  virtual void Close() = 0;
  virtual bool IsOpen() const = 0;
  // The open line's address as given ("COM3", "/dev/ttyUSB0", "rtu+tcp://10.0.0.7:4001");
  // empty when none is open.
  virtual std::string Name() const = 0;
  // Why the last open failed, in the system's words; empty when not known.
  virtual std::string OpenError() const { return {}; }
  // False for a line open to what passes no broadcast on (a Modbus TCP gateway): the tool sends
  // none. (A line that is not open carries nothing, and refuses no broadcast.)
  virtual bool CarriesBroadcasts() const { return !IsOpen() || packing_->CarriesBroadcasts(); }

  // Drops whatever waits, sends `request` (an RTU frame, packed for the line's wire) and from
  // then on looks for `reply` in what arrives. Without a `reply` nothing is awaited and what
  // arrives is dropped. False when no port is open or the write failed.
  bool Send(std::span<const std::uint8_t> request, std::optional<ReplyShape> reply);
  // True when a reply names the request it answers (Modbus TCP); false on a line of RTU
  // frames, where a late reply to one request looks like the answer to the next.
  bool NumbersTransactions() const { return packing_->NumbersTransactions(); }
  // What came since the request sent last, as it crossed the wire, that the line's packing could
  // not make a reply of (a Modbus TCP answer of another transaction, a broken or cut header);
  // empty when the packing takes every byte as it comes (RTU).
  std::vector<std::uint8_t> Unanswered() const { return packing_->Unanswered(); }
  // The bytes of the request sent last as they went on the wire (as given when none is open).
  const std::vector<std::uint8_t>& SentOnWire() const { return sentOnWire_; }

  void SetOnReceived(ReceivedHandler handler) { onReceived_ = std::move(handler); }
  void SetOnLost(LostHandler handler) { onLost_ = std::move(handler); }

  // True once the line has given back a request of the tool's own verbatim.
  bool Echoing() const { return finder_.Echoing(); }

 protected:
  // Writes all bytes, in order.
  virtual bool Write(std::span<const std::uint8_t> bytes) = 0;
  // Discards what the port has received and not yet handed over.
  virtual void DropReceived() = 0;

  // For the implementations: how the line's wire packs the frames (RTU as they are until told);
  // bytes that arrived, the line falling silent after them, the port opened or closed, and the
  // port lost (already closed).
  void UsePacking(std::unique_ptr<Packing> packing);
  void Arrive(std::span<const std::uint8_t> bytes);
  void FallSilent();
  void ForgetReceived();
  void PortLost();
  bool HasWaiting() const { return finder_.HasWaiting(); }

 private:
  void HandUp(const Received& received);

  std::unique_ptr<Packing> packing_;
  ReplyFinder finder_;
  std::vector<std::uint8_t> sentOnWire_;
  ReceivedHandler onReceived_;
  LostHandler onLost_;
};

}  // namespace karvello
