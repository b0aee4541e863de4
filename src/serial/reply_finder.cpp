#include "serial/reply_finder.h"

#include <algorithm>

#include "framing/crc16.h"
#include "framing/registers.h"

namespace karvello {
namespace {

// Bytes are taken in pieces no larger than this, so that a burst longer than the receive buffer
// still yields every reply it carries.
constexpr std::size_t kFeedPiece = 256;

}  // namespace

void ReplyFinder::Expect(std::span<const std::uint8_t> request, std::optional<ReplyShape> reply) {
  buffer_.clear();
  request_.assign(request.begin(), request.end());
  reply_ = reply;
  refusal_.reset();
  if (reply && request.size() >= 2) refusal_ = ReplyShape::RefusalOf(reply->Slave(), request[1]);
  copyPending_ = !request.empty();
  // A detector echoes a write to its own address, so only a copy of a broadcast or of a read
  // shows that the line echoes.
  copyTeaches_ = request.size() >= 2 && (request[0] == reg::kBroadcastAddress ||
                                         request[1] != reg::kFnWriteSingleRegister);
}

void ReplyFinder::Reset() {
  *this = ReplyFinder();
}

std::vector<Received> ReplyFinder::Feed(std::span<const std::uint8_t> bytes) {
  std::vector<Received> out;
  while (!bytes.empty()) {
    const std::size_t piece = std::min(bytes.size(), kFeedPiece);
    buffer_.insert(buffer_.end(), bytes.begin(), bytes.begin() + static_cast<long>(piece));
    bytes = bytes.subspan(piece);
    if (buffer_.size() > kReceiveBufferSize) {
      buffer_.erase(buffer_.begin(),
                    buffer_.begin() + static_cast<long>(buffer_.size() - kReceiveBufferSize));
    }
    Process(out);
  }
  return out;
}

bool ReplyFinder::SeeksOwnCopy() const {
  // Only a line known to echo gives a write to a detector back twice; elsewhere the first copy of
  // it is the detector's echo, the awaited reply.
  return copyPending_ && (copyTeaches_ || echoing_);
}

std::optional<std::size_t> ReplyFinder::OwnCopyAt() const {
  for (std::size_t k = 0; k < buffer_.size(); ++k) {
    const std::size_t n = std::min(buffer_.size() - k, request_.size());
    if (std::equal(request_.begin(), request_.begin() + static_cast<long>(n),
                   buffer_.begin() + static_cast<long>(k))) {
      return k;
    }
  }
  return std::nullopt;
}

void ReplyFinder::CutOwnCopy() {
  if (!SeeksOwnCopy()) return;
  const auto at = OwnCopyAt();
  if (!at || buffer_.size() - *at < request_.size()) return;
  // What came before the copy came before the request went out: no answer to it, and no part of
  // one (a reply is never made of bytes from both sides of the copy).
  buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<long>(*at + request_.size()));
  copyPending_ = false;
  if (copyTeaches_) echoing_ = true;
}

std::optional<ReplyFinder::Candidate> ReplyFinder::CandidateAt(std::size_t offset) const {
  using Match = ReplyShape::Match;
  const Match reply = reply_->MatchAt(buffer_, offset);
  const Match refusal = refusal_->MatchAt(buffer_, offset);
  if (reply == Match::kNo && refusal == Match::kNo) return std::nullopt;
  // The two differ in their second byte, so only a single byte can fit both, and then neither
  // is whole.
  const bool isReply = reply != Match::kNo;
  return Candidate{(isReply ? reply : refusal) == Match::kWhole, isReply,
                   isReply ? reply_->Length() : refusal_->Length()};
}

bool ReplyFinder::AnyCandidateFrom(std::size_t offset) const {
  for (std::size_t k = offset; k < buffer_.size(); ++k) {
    if (CandidateAt(k)) return true;
  }
  return false;
}

Received ReplyFinder::Take(Received::Kind kind, std::size_t offset, std::size_t length) {
  const auto first = buffer_.begin() + static_cast<long>(offset);
  Received found{kind, std::vector<std::uint8_t>(first, first + static_cast<long>(length))};
  // The bytes in front of it were strays.
  buffer_.erase(buffer_.begin(), first + static_cast<long>(length));
  return found;
}

void ReplyFinder::Process(std::vector<Received>& out) {
  CutOwnCopy();
  if (!reply_) {
    // Nothing is awaited: only a head of the request's own copy stays, to show the echo.
    const auto copy = SeeksOwnCopy() ? OwnCopyAt() : std::nullopt;
    buffer_.erase(buffer_.begin(),
                  copy ? buffer_.begin() + static_cast<long>(*copy) : buffer_.end());
    return;
  }
  for (;;) {
    bool took = false;
    for (std::size_t k = 0; k < buffer_.size() && !took; ++k) {
      const auto candidate = CandidateAt(k);
      if (!candidate) continue;
      if (!candidate->whole) return;  // wait for the rest
      if (HasValidCrc(std::span(buffer_).subspan(k, candidate->length))) {
        out.push_back(Take(candidate->isReply ? Received::Kind::kReply : Received::Kind::kRefusal,
                           k, candidate->length));
        took = true;
      } else if (!AnyCandidateFrom(k + 1)) {
        // A reply with a wrong CRC and nothing behind it that could still be the right one.
        out.push_back(Take(Received::Kind::kCorrupt, k, candidate->length));
        took = true;
      }
    }
    if (!took) return;
  }
}

std::optional<Received> ReplyFinder::Silence() {
  if (buffer_.empty()) return std::nullopt;
  if (!reply_) {
    buffer_.clear();
    return std::nullopt;
  }
  std::optional<std::size_t> corrupt;  // a whole reply whose CRC is wrong
  std::size_t corruptLength = 0;
  std::optional<std::size_t> head;  // a head that waits for its rest
  for (std::size_t k = 0; k < buffer_.size(); ++k) {
    const auto candidate = CandidateAt(k);
    if (!candidate) continue;
    if (candidate->whole) {
      // Whole and still here, so its CRC is wrong: it has no rest to wait for.
      if (!corrupt) {
        corrupt = k;
        corruptLength = candidate->length;
      }
      continue;
    }
    // A reply whose head has come waits for its rest however long the line pauses. A single byte
    // is a head only when it names the slave asked.
    if (buffer_.size() - k >= 2 || reply_->Slave()) head = k;
    break;
  }
  if (corrupt) {
    const auto first = buffer_.begin() + static_cast<long>(*corrupt);
    Received found{Received::Kind::kCorrupt,
                   std::vector<std::uint8_t>(first, first + static_cast<long>(corruptLength))};
    // A head behind it, which may overlap it, stays to wait for its rest.
    buffer_.erase(buffer_.begin(),
                  head ? buffer_.begin() + static_cast<long>(*head) : buffer_.end());
    return found;
  }
  if (head) return std::nullopt;
  Received stray{Received::Kind::kStray, {}};
  stray.bytes.swap(buffer_);
  return stray;
}

}  // namespace karvello
