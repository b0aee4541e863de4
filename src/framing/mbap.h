#pragma once
// Modbus TCP's framing, read and written here only: the line, the simulator and any server of
// the tool's take it from here. Each frame begins with the MBAP header: the transaction id (a
// number of the master's own per request, given back in the reply), the protocol id 0, the
// length of what follows (the unit id and the PDU), the unit id (the detector's address); all
// high byte first. There is no CRC: TCP checks the bytes.

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace karvello {

inline constexpr std::size_t kMbapHeaderSize = 7;
// The unit id's place in a frame; the PDU follows it.
inline constexpr std::size_t kMbapUnitAt = 6;
// A PDU is at most 253 bytes: the length field counts it and the unit id.
inline constexpr std::size_t kLongestMbapLength = 254;
// The longest frame: the header's first six bytes and the longest length.
inline constexpr std::size_t kLongestMbapFrame = kMbapUnitAt + kLongestMbapLength;

// How the bytes gathered from a stream begin.
struct MbapStart {
  enum class Kind {
    kPartial,  // not a whole frame yet
    kWhole,    // a frame of `size` bytes
    // A header no frame has: a protocol id other than 0 (known once 4 bytes are in), a length
    // out of range (once 6 are): the stream cannot be followed past it.
    kBad,
  };
  Kind kind;
  std::size_t size = 0;
};
MbapStart FindMbapFrame(std::span<const std::uint8_t> bytes);

// The frame of `transaction`, `unit` and `pdu`.
std::vector<std::uint8_t> MbapFrame(std::uint16_t transaction, std::uint8_t unit,
                                    std::span<const std::uint8_t> pdu);
// The transaction id of a frame (at least 2 bytes).
std::uint16_t MbapTransaction(std::span<const std::uint8_t> frame);
// The unit id and the PDU of a whole frame (as FindMbapFrame or MbapReader found it).
std::uint8_t MbapUnit(std::span<const std::uint8_t> frame);
std::span<const std::uint8_t> MbapPdu(std::span<const std::uint8_t> frame);

// The MBAP frame of an RTU frame (slave, PDU, CRC): the slave becomes the unit id and the CRC is
// left off.
std::vector<std::uint8_t> MbapOfRtu(std::span<const std::uint8_t> rtu, std::uint16_t transaction);
// The RTU frame of an MBAP frame's unit id and PDU, with its CRC.
std::vector<std::uint8_t> RtuOfMbap(std::span<const std::uint8_t> mbap);

// The exception code of a refusal as it crossed the wire: an MBAP frame (header, unit id,
// function | 0x80, code) or an RTU one (slave, function | 0x80, code, CRC). None for fewer
// bytes than either holds.
std::optional<std::uint8_t> RefusalCode(std::span<const std::uint8_t> reply);

// Takes the MBAP frames out of what a TCP stream brings, however it splits and joins them.
class MbapReader {
 public:
  struct Frame {
    std::uint16_t transaction;
    std::vector<std::uint8_t> bytes;  // the whole frame, header included
  };
  struct Taken {
    std::vector<Frame> frames;
    // Bytes that cannot begin a frame (a protocol id other than 0, a length out of range): the
    // stream cannot be followed past them, so everything waiting is given up with them.
    std::vector<std::uint8_t> broken;
  };
  Taken Feed(std::span<const std::uint8_t> bytes);
  void Reset() { buffer_.clear(); }
  bool HasWaiting() const { return !buffer_.empty(); }
  // A frame begun and not ended: its bytes so far.
  std::span<const std::uint8_t> Waiting() const { return buffer_; }

 private:
  std::vector<std::uint8_t> buffer_;
};

}  // namespace karvello
