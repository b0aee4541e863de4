#include "sim/exchange_log.h"

namespace karvello::sim {

std::size_t ExchangeLog::Add(Exchange exchange) {
  std::lock_guard lock(mutex_);
  if (exchange.finished) ++finished_;
  log_.push_back(std::move(exchange));
  changed_.notify_all();
  return log_.size() - 1;
}

std::size_t ExchangeLog::AddReply(std::size_t index, std::span<const std::uint8_t> bytes) {
  std::lock_guard lock(mutex_);
  Exchange& logged = log_[index];
  const std::size_t had = logged.reply.size();
  const auto now = Clock::now();
  if (logged.reply.empty()) logged.replyFirstByte = now;
  logged.replyLastByte = now;
  logged.reply.insert(logged.reply.end(), bytes.begin(), bytes.end());
  return had;
}

void ExchangeLog::CutReply(std::size_t index, std::size_t size) {
  std::lock_guard lock(mutex_);
  log_[index].reply.resize(size);
}

void ExchangeLog::Finish(std::size_t index) {
  std::lock_guard lock(mutex_);
  log_[index].finished = true;
  ++finished_;
  changed_.notify_all();
}

std::vector<Exchange> ExchangeLog::All() const {
  std::lock_guard lock(mutex_);
  return log_;
}

std::size_t ExchangeLog::Count() const {
  std::lock_guard lock(mutex_);
  return log_.size();
}

bool ExchangeLog::WaitForFinished(std::size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return finished_ >= count; });
}

}  // namespace karvello::sim
