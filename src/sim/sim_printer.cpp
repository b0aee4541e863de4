#include "sim/sim_printer.h"

#include <QDateTime>
#include <chrono>

#include "framing/frame_text.h"

namespace karvello::sim {

using namespace std::chrono_literals;

ExchangePrinter::ExchangePrinter(std::FILE* out)
    : out_(out), wallStartMs_(QDateTime::currentMSecsSinceEpoch()) {}

std::string ExchangePrinter::TimeOfDay(Clock::time_point t) const {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t - steadyStart_);
  return QDateTime::fromMSecsSinceEpoch(wallStartMs_ + ms.count())
      .toString(QStringLiteral("hh:mm:ss.zzz"))
      .toStdString();
}

void ExchangePrinter::Print(const Exchange& e) const {
  std::fprintf(out_, "%s  recv  %s\n", TimeOfDay(e.requestFirstByte).c_str(),
               FormatFrameText(e.request, e.request.size()).c_str());
  if (e.reply.empty()) {
    std::fprintf(out_, "%s  (no reply)\n", std::string(12, ' ').c_str());
    return;
  }
  const auto spread =
      std::chrono::duration_cast<std::chrono::milliseconds>(e.replyLastByte - e.replyFirstByte);
  std::fprintf(out_, "%s  send  %s", TimeOfDay(e.replyFirstByte).c_str(),
               FormatFrameText(e.reply, e.reply.size()).c_str());
  if (spread >= 5ms)
    std::fprintf(out_, "   (over %lld ms)", static_cast<long long>(spread.count()));
  std::fprintf(out_, "\n");
}

void ExchangePrinter::PrintNew(const SimulatedDetector& detector) {
  const ExchangeLog::Slice slice = detector.ExchangesSince(done_);
  if (slice.first > done_) {
    std::fprintf(out_, "%s  %zu exchange(s) left out: the printing fell behind the log\n",
                 TimeOfDay(Clock::now()).c_str(), slice.first - done_);
    done_ = slice.first;
  }
  // The newest may be unfinished, its reply still to come: it is printed once finished.
  for (const Exchange& e : slice.exchanges) {
    if (!e.finished) break;
    Print(e);
    ++done_;
  }
  if (const std::size_t now = detector.DroppedBytes(); now != dropped_) {
    std::fprintf(out_, "%s  dropped %zu byte(s) that made no request\n",
                 TimeOfDay(Clock::now()).c_str(), now - dropped_);
    dropped_ = now;
  }
  std::fflush(out_);
}

}  // namespace karvello::sim
