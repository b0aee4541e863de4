#pragma once
// How a line packs the tool's RTU requests for its wire and unpacks what comes back for the
// reply search: a serial port and a transparent serial server carry the RTU frames as they are;
// a Modbus TCP gateway takes each request as an MBAP frame of a transaction of its own and gives
// each reply whole in one, which is made RTU again to be judged as on a serial line.

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "framing/mbap.h"
#include "serial/line_address.h"

namespace karvello {

class Packing {
 public:
  // A piece of what arrived: the bytes the reply search takes and the bytes as they came.
  struct Piece {
    std::vector<std::uint8_t> bytes;
    std::vector<std::uint8_t> wire;  // empty: the bytes themselves
    bool whole = false;              // a whole reply or nothing: judged at once, not after a gap
  };

  virtual ~Packing() = default;
  // The bytes that go on the wire for the RTU request `request`.
  virtual std::vector<std::uint8_t> Pack(std::span<const std::uint8_t> request) = 0;
  // What `bytes` that arrived give, in order.
  virtual std::vector<Piece> Unpack(std::span<const std::uint8_t> bytes) = 0;
  // The line opened, closed or dropped what waits: nothing half read is kept.
  virtual void Reset() {}
  // What arrived since the last request that gave no piece to judge as a reply, as it came.
  virtual std::vector<std::uint8_t> Unanswered() const { return {}; }
  // False when the far end passes no broadcast on.
  virtual bool CarriesBroadcasts() const { return true; }
  // True when a reply names the request it answers (Modbus TCP's transaction), so that a reply
  // to an earlier request is never taken for the answer to the request sent last.
  virtual bool NumbersTransactions() const { return false; }
};

// The RTU frames as they are.
class RtuPacking : public Packing {
 public:
  std::vector<std::uint8_t> Pack(std::span<const std::uint8_t> request) override;
  std::vector<Piece> Unpack(std::span<const std::uint8_t> bytes) override;
};

// Modbus TCP: a gateway passes no broadcast on, nor the answer to a broadcast read. A reply to
// an earlier transaction (one that timed out) answers nothing now and is dropped.
class MbapPacking : public Packing {
 public:
  std::vector<std::uint8_t> Pack(std::span<const std::uint8_t> request) override;
  std::vector<Piece> Unpack(std::span<const std::uint8_t> bytes) override;
  void Reset() override {
    reader_.Reset();
    unanswered_.clear();
  }
  bool CarriesBroadcasts() const override { return false; }
  bool NumbersTransactions() const override { return true; }
  // The answers of other transactions and the bytes past a broken header, then those of a frame
  // begun and not ended.
  std::vector<std::uint8_t> Unanswered() const override;

  // The replies of earlier transactions dropped so far.
  std::size_t DroppedEarlier() const { return droppedEarlier_; }

 private:
  std::uint16_t transaction_ = 0;  // the last request's
  MbapReader reader_;
  std::size_t droppedEarlier_ = 0;
  std::vector<std::uint8_t> unanswered_;
};

// The packing of a line at `address`.
std::unique_ptr<Packing> PackingFor(const LineAddress& address);
// Whether a line at `address` carries broadcasts, known before it opens.
bool CarriesBroadcasts(const LineAddress& address);

}  // namespace karvello
