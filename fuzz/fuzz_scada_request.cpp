// Feeds arbitrary byte streams, cut into arbitrary pieces, to the request path of the watch's
// Modbus TCP server: the MBAP reader takes the frames out of the stream, and each is answered
// from a site's state that the input also sets (its detectors, each quantity's last outcome,
// value and times, the line, the broker, the record), as scada_server.cpp does.
//
// The input: byte 0 sets the site (bit 0 the line open, bit 1 the broker used, bit 2 it
// connected, bit 3 the record failing); bytes 1 to 16 set four detectors at addresses 1 to 4,
// four bytes each (for each quantity: its last result in the low 3 bits and whether a good
// value stands in bit 3, then the value); byte 17 gives the pieces' lengths' seed; the rest is
// the stream.
//
// Checked for every input (a violation aborts with a message on stderr):
// - the frames taken from the pieces are those taken from the stream whole, in order, each a
//   whole frame as its header says (7 to 260 bytes), and the bytes left broken or waiting are
//   the rest of the stream: nothing lost, nothing made up;
// - each reply is a whole MBAP frame with the request's transaction and unit, and its PDU is
//   either the registers (function 3 or 4, a byte count of twice 1 to 125 registers and that
//   many bytes) or an exception of that function with the code 01, 02, 03 or 0B; every other
//   function is refused with 01; a whole read of a unit that is not read with 0B.

#include <QDateTime>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <vector>

#include "framing/mbap.h"
#include "gateway/scada_registers.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using karvello::MbapReader;

[[noreturn]] void Violated(const char* what) {
  std::fprintf(stderr, "INVARIANT VIOLATED: %s\n", what);
  std::abort();
}

void Check(bool holds, const char* what) {
  if (!holds) Violated(what);
}

karvello::gateway::SiteSnapshot SiteOf(std::span<const std::uint8_t> setting,
                                       const QDateTime& now) {
  using namespace karvello;
  gateway::SiteSnapshot site;
  site.started = now.addSecs(-setting[0] * 1000);
  site.line.open = setting[0] & 1;
  site.broker.used = setting[0] & 2;
  site.broker.connected = setting[0] & 4;
  site.broker.queued = setting[0] * 0x1000000ULL;
  site.record.failing = setting[0] & 8;
  for (int d = 0; d < 4; ++d) {
    gateway::DetectorState& detector = site.detectors[d + 1];
    detector.alarm = setting[1 + 4 * d] & 0x80;
    detector.failuresInRow = setting[2 + 4 * d] * 300u;
    for (int q = 0; q < 2; ++q) {
      const std::uint8_t how = setting[1 + 4 * d + 2 * q];
      const std::uint8_t value = setting[2 + 4 * d + 2 * q];
      gateway::QuantityState& quantity = q == 0 ? detector.resistance : detector.voltage;
      const Reading reading{value * 257u, value % 5u, value % 5 > 2};
      if ((how & 7) < 7) {
        quantity.lastTime = now.addSecs(-value);
        quantity.lastResult = static_cast<Result>(how % 7);
        if (quantity.lastResult == Result::kAnswered) quantity.lastValue = reading;
      }
      if (how & 8) {
        quantity.goodValue = reading;
        quantity.goodTime = now.addSecs(static_cast<std::int8_t>(value) * 1000);
      }
      quantity.answered = how * 0x2000000ULL;
      quantity.failed = value;
    }
  }
  return site;
}

void CheckReply(const Bytes& frame, const Bytes& reply) {
  using namespace karvello;
  const std::uint8_t unit = MbapUnit(frame);
  const auto pdu = MbapPdu(frame);
  Check(!reply.empty(), "an empty reply");
  const std::uint8_t function = pdu[0];
  const Bytes whole = MbapFrame(MbapTransaction(frame), unit, reply);
  const MbapStart start = FindMbapFrame(whole);
  Check(start.kind == MbapStart::Kind::kWhole && start.size == whole.size(),
        "the reply is not one whole frame");
  if (reply[0] & 0x80) {
    Check(reply.size() == 2 && reply[0] == (function | 0x80), "an exception's shape");
    const std::uint8_t code = reply[1];
    Check(code == 1 || code == 2 || code == 3 || code == 0x0B, "an exception's code");
    if (function != 3 && function != 4) Check(code == 1, "a write or other function not refused");
    if (code == 1) Check(function != 3 && function != 4, "a read refused as a function");
    if (unit > 4 && (function == 3 || function == 4) && pdu.size() == 5) {
      Check(code == 0x0B, "a unit not read");
    }
    return;
  }
  Check(function == 3 || function == 4, "a function other than a read answered");
  Check(unit <= 4, "a unit not read answered");
  Check(pdu.size() == 5, "a request of the wrong length answered");
  const std::size_t count = static_cast<std::size_t>(pdu[3] << 8 | pdu[4]);
  Check(count >= 1 && count <= 125, "a count out of range answered");
  Check(reply.size() == 2 + 2 * count && reply[1] == 2 * count, "the registers' byte count");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 18) return 0;
  const std::span<const std::uint8_t> input(data, size);
  static const QDateTime now =
      QDateTime::fromString("2026-12-07T18:00:00.000+08:00", Qt::ISODateWithMs);
  const karvello::gateway::SiteSnapshot site = SiteOf(input.first(17), now);
  const karvello::gateway::ScadaRegisters registers(site, now);
  std::uint32_t seed = input[17];
  const std::span<const std::uint8_t> stream = input.subspan(18);

  // The stream whole, then in pieces.
  MbapReader whole;
  const MbapReader::Taken all = whole.Feed(stream);
  MbapReader reader;
  std::vector<MbapReader::Frame> frames;
  Bytes broken;
  std::size_t at = 0;
  while (at < stream.size() && broken.empty()) {
    seed = seed * 1103515245u + 12345u;
    const std::size_t piece = std::min<std::size_t>(stream.size() - at, 1 + (seed >> 16) % 300);
    MbapReader::Taken taken = reader.Feed(stream.subspan(at, piece));
    at += piece;
    for (auto& frame : taken.frames) frames.push_back(std::move(frame));
    broken = std::move(taken.broken);
  }
  Check(frames.size() == all.frames.size(), "the pieces' frames are not the whole stream's");
  std::size_t taken = 0;
  for (std::size_t i = 0; i < frames.size(); ++i) {
    const Bytes& bytes = frames[i].bytes;
    Check(bytes == all.frames[i].bytes, "a frame differs with the cuts");
    Check(bytes.size() >= 8 && bytes.size() <= karvello::kLongestMbapFrame, "a frame's size");
    Check(bytes.size() == 6u + (bytes[4] << 8 | bytes[5]), "a frame not as its header says");
    Check(frames[i].transaction == karvello::MbapTransaction(bytes), "the transaction id");
    Check(std::equal(bytes.begin(), bytes.end(), stream.begin() + taken), "a frame made up");
    taken += bytes.size();
    const Bytes reply = registers.Answer(karvello::MbapUnit(bytes), karvello::MbapPdu(bytes));
    CheckReply(bytes, reply);
  }
  if (!all.broken.empty()) {
    Check(broken.size() + (stream.size() - at) == all.broken.size(), "the broken rest");
    Check(taken + all.broken.size() == stream.size(), "bytes lost before the broken rest");
    Check(!reader.HasWaiting(), "bytes kept past a broken header");
  } else {
    Check(broken.empty(), "broken only when cut");
    Check(at == stream.size(), "the stream not fed whole");
  }
  return 0;
}
