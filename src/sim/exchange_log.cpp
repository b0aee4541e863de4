#include "sim/exchange_log.h"

#include <algorithm>
#include <stdexcept>

namespace karvello::sim {

namespace {
std::size_t Checked(std::size_t kept) {
  if (kept == 0) throw std::invalid_argument("a log keeps at least one exchange");
  return kept;
}
}  // namespace

ExchangeLog::ExchangeLog(std::size_t kept) : kept_(Checked(kept)) {}

Exchange* ExchangeLog::Find(std::size_t index) {
  if (index < first_ || index - first_ >= log_.size()) return nullptr;
  return &log_[index - first_];
}

void ExchangeLog::LetGo() {
  while (log_.size() > kept_) {
    log_.pop_front();
    ++first_;
  }
}

std::size_t ExchangeLog::Add(Exchange exchange) {
  std::lock_guard lock(mutex_);
  if (exchange.finished) ++finished_;
  log_.push_back(std::move(exchange));
  LetGo();
  changed_.notify_all();
  return first_ + log_.size() - 1;
}

std::size_t ExchangeLog::AddReply(std::size_t index, std::span<const std::uint8_t> bytes) {
  std::lock_guard lock(mutex_);
  Exchange* logged = Find(index);
  if (logged == nullptr) return 0;
  const std::size_t had = logged->reply.size();
  const auto now = Clock::now();
  if (logged->reply.empty()) logged->replyFirstByte = now;
  logged->replyLastByte = now;
  logged->reply.insert(logged->reply.end(), bytes.begin(), bytes.end());
  return had;
}

void ExchangeLog::CutReply(std::size_t index, std::size_t size) {
  std::lock_guard lock(mutex_);
  if (Exchange* logged = Find(index)) logged->reply.resize(size);
}

void ExchangeLog::Finish(std::size_t index) {
  std::lock_guard lock(mutex_);
  Exchange* logged = Find(index);
  if (logged == nullptr || logged->finished) return;
  logged->finished = true;
  ++finished_;
  changed_.notify_all();
}

void ExchangeLog::Keep(std::size_t kept) {
  std::lock_guard lock(mutex_);
  kept_ = Checked(kept);
  LetGo();
}

ExchangeLog::Slice ExchangeLog::Since(std::size_t index) const {
  std::lock_guard lock(mutex_);
  Slice slice;
  slice.first = std::clamp(index, first_, first_ + log_.size());
  slice.exchanges.assign(log_.begin() + static_cast<std::ptrdiff_t>(slice.first - first_),
                         log_.end());
  return slice;
}

std::size_t ExchangeLog::Count() const {
  std::lock_guard lock(mutex_);
  return first_ + log_.size();
}

bool ExchangeLog::WaitForFinished(std::size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return finished_ >= count; });
}

}  // namespace karvello::sim
