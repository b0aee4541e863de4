// karvello-bench-scada: the watch's Modbus TCP server for a SCADA, against libmodbus's own.
//
//   karvello-bench-scada [--reps N] [--clients C] [--requests R] [--every MS] [--help]
//
// The real karvello-cli runs `watch -a 5 --voltage --every MS --format json --modbus-server
// 127.0.0.1:PORT` against the simulated detector (karvello-sim on a pseudo-terminal).
//
// 1. Side by side: one libmodbus client reads the quality block (function 3, 0x0100, 15
//    registers, unit 5) N times from the watch and N times from libmodbus's own server
//    (modbus_reply over a mapping of the same 15 registers, in a thread of this program), in
//    alternate blocks of 100, and times each round trip on the steady clock.
// 2. C clients (threads, a libmodbus connection each) read the same block R times each, back to
//    back, all at once: every answer checked, the throughput and each round trip's time.
// 3. The watch's round lateness: each reading's time stamp against its slot on the watch's grid
//    (start + n x MS, the start taken where the earliest reading of the run lies), for 50
//    periods without clients, then 50 while the C clients read without a pause.

#include <modbus/modbus.h>

#include <QCoreApplication>
#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bench/stats.h"
#include "support/free_port.h"

namespace karvello::bench {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr int kUnit = 5;
constexpr int kBlock = 0x0100;
constexpr int kBlockSize = 15;

struct Options {
  int reps = 2000;
  int clients = 16;
  int requests = 1000;
  int every = 100;
};

// A child program, its standard output gathered.
class Child {
 public:
  Child(const QString& program, const QStringList& arguments) {
    process_.start(program, arguments);
    process_.waitForStarted(5000);
  }
  ~Child() {
    process_.terminate();
    if (!process_.waitForFinished(5000)) process_.kill();
    process_.waitForFinished(3000);
  }
  // Waits until the output matches `pattern`; the match.
  QString WaitFor(const QRegularExpression& pattern, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (Clock::now() < deadline) {
      out_ += QString::fromUtf8(process_.readAllStandardOutput());
      const auto match = pattern.match(out_);
      if (match.hasMatch()) return match.captured(1);
      process_.waitForReadyRead(50);
    }
    return {};
  }
  // What it has printed until now (read for a moment: the pipe is drained as it comes).
  QString Out() {
    const auto until = Clock::now() + 300ms;
    while (Clock::now() < until) {
      process_.waitForReadyRead(50);
      out_ += QString::fromUtf8(process_.readAllStandardOutput());
    }
    return out_;
  }

 private:
  QProcess process_;
  QString out_;
};

// libmodbus's own server over a mapping of the quality block, one connection at a time.
class LibmodbusServer {
 public:
  explicit LibmodbusServer(int port) : port_(port) {
    mapping_ = modbus_mapping_new_start_address(0, 0, 0, 0, kBlock, kBlockSize, 0, 0);
    const std::uint16_t block[kBlockSize] = {0, 0, 3450, 0, 42, 0, 220, 0, 3, 0, 0, 0, 96, 0, 0};
    std::memcpy(mapping_->tab_registers, block, sizeof block);
    ctx_ = modbus_new_tcp("127.0.0.1", port_);
    listener_ = modbus_tcp_listen(ctx_, 1);
    thread_ = std::thread([this] { Serve(); });
  }
  ~LibmodbusServer() {
    stop_ = true;
    ::shutdown(listener_, SHUT_RDWR);
    if (thread_.joinable()) thread_.join();
    modbus_close(ctx_);
    modbus_free(ctx_);
    modbus_mapping_free(mapping_);
  }
  bool Listening() const { return listener_ >= 0; }

 private:
  void Serve() {
    std::uint8_t query[MODBUS_TCP_MAX_ADU_LENGTH];
    while (!stop_) {
      int listener = listener_;
      if (modbus_tcp_accept(ctx_, &listener) < 0) return;
      for (;;) {
        const int size = modbus_receive(ctx_, query);
        if (size > 0) modbus_reply(ctx_, query, size, mapping_);
        if (size < 0) break;
      }
      modbus_close(ctx_);
    }
  }

  int port_;
  modbus_t* ctx_ = nullptr;
  modbus_mapping_t* mapping_ = nullptr;
  int listener_ = -1;
  std::atomic<bool> stop_ = false;
  std::thread thread_;
};

modbus_t* Connect(int port) {
  modbus_t* ctx = modbus_new_tcp("127.0.0.1", port);
  modbus_set_slave(ctx, kUnit);
  modbus_set_response_timeout(ctx, 2, 0);
  if (modbus_connect(ctx) != 0) {
    std::fprintf(stderr, "cannot connect to %d: %s\n", port, modbus_strerror(errno));
    std::exit(1);
  }
  return ctx;
}

// One read of the block; its round trip in ms, or a negative number when it failed.
double ReadBlock(modbus_t* ctx) {
  std::uint16_t registers[kBlockSize];
  const auto start = Clock::now();
  const int got = modbus_read_registers(ctx, kBlock, kBlockSize, registers);
  const double ms = Ms(Clock::now() - start);
  return got == kBlockSize ? ms : -1;
}

// Each reading's lateness against its slot, ms, for the readings stamped within [from, to);
// `skipped` counts the slots with no reading there. The slots are `every` apart, on the grid
// where the readings usually lie (the median offset from the first one's grid: the exchange's
// own time is no lateness); a reading up to `every` less 10 ms late is still its slot's.
std::vector<double> Lateness(const QString& out, const QDateTime& from, const QDateTime& to,
                             int every, int* skipped) {
  std::vector<qint64> since;
  std::vector<QDateTime> times;
  for (const QString& line : out.split('\n', Qt::SkipEmptyParts)) {
    times.push_back(QDateTime::fromString(
        QJsonDocument::fromJson(line.toUtf8()).object()["time"].toString(), Qt::ISODateWithMs));
    since.push_back(times.front().msecsTo(times.back()));
  }
  std::vector<double> late;
  *skipped = 0;
  if (times.empty()) return late;
  std::vector<qint64> offsets;
  for (qint64 s : since) offsets.push_back((s + every / 2) % every - every / 2);
  std::nth_element(offsets.begin(), offsets.begin() + offsets.size() / 2, offsets.end());
  const qint64 usual = offsets[offsets.size() / 2];
  long long lastSlot = -1;
  for (std::size_t i = 0; i < times.size(); ++i) {
    if (times[i] < from || times[i] >= to) continue;
    const qint64 onGrid = since[i] - usual;
    const long long slot = (onGrid + 10) / every;
    late.push_back(static_cast<double>(onGrid - slot * every));
    if (lastSlot >= 0 && slot > lastSlot + 1) *skipped += static_cast<int>(slot - lastSlot - 1);
    lastSlot = slot;
  }
  return late;
}

int Run(const Options& options) {
  const QString sim = QStringLiteral(KARVELLO_SIM_PATH);
  const QString cli = QStringLiteral(KARVELLO_CLI_PATH);
  Child detector(sim, {"--bus", QString::number(kUnit)});
  const QString path = detector.WaitFor(QRegularExpression("Serving (\\S+)"), 5s);
  if (path.isEmpty()) {
    std::fprintf(stderr, "karvello-sim did not start\n");
    return 1;
  }
  const int port = testing::FreePort();
  Child watch(cli, {"-p", path, "--no-record", "watch", "-a", QString::number(kUnit), "--voltage",
                    "--every", QString::number(options.every) + "ms", "--format", "json",
                    "--modbus-server", "127.0.0.1:" + QString::number(port)});
  if (watch.WaitFor(QRegularExpression("(\\n)"), 5s).isEmpty()) {
    std::fprintf(stderr, "the watch did not read\n");
    return 1;
  }
  const int theirs = testing::FreePort();
  LibmodbusServer libmodbus(theirs);
  if (!libmodbus.Listening()) {
    std::fprintf(stderr, "libmodbus's server cannot listen\n");
    return 1;
  }

  // 1. Side by side, one client.
  std::printf("1. the quality block (15 registers), one client, %d reads of each server\n",
              options.reps);
  modbus_t* ours = Connect(port);
  modbus_t* other = Connect(theirs);
  std::vector<double> oursMs;
  std::vector<double> theirsMs;
  int failed = 0;
  for (int block = 0; block * 100 < options.reps; ++block) {
    for (int i = 0; i < 100; ++i) {
      const double ms = ReadBlock(ours);
      ms < 0 ? ++failed : (oursMs.push_back(ms), 0);
    }
    for (int i = 0; i < 100; ++i) {
      const double ms = ReadBlock(other);
      ms < 0 ? ++failed : (theirsMs.push_back(ms), 0);
    }
  }
  modbus_close(ours);
  modbus_free(ours);
  modbus_close(other);
  modbus_free(other);
  PrintSummary("karvello-cli watch --modbus-server", oursMs, "ms");
  PrintSummary("libmodbus modbus_reply", theirsMs, "ms");
  std::sort(oursMs.begin(), oursMs.end());
  std::sort(theirsMs.begin(), theirsMs.end());
  std::printf("median ratio (watch / libmodbus): %.2f; failed reads: %d\n",
              Quantile(oursMs, 0.5) / Quantile(theirsMs, 0.5), failed);

  // 2. Clients at once, R requests each.
  std::vector<std::vector<double>> each(static_cast<std::size_t>(options.clients));
  std::atomic<int> wrong = 0;
  // Each client reads R times, or (with `until`) until then; its round trips kept.
  const auto clientsRead = [&](std::optional<Clock::time_point> until) {
    std::vector<std::thread> threads;
    for (int c = 0; c < options.clients; ++c) {
      threads.emplace_back([&, c, until] {
        modbus_t* ctx = Connect(port);
        for (int i = 0; until ? Clock::now() < *until : i < options.requests; ++i) {
          const double ms = ReadBlock(ctx);
          ms < 0 ? ++wrong : (each[static_cast<std::size_t>(c)].push_back(ms), 0);
        }
        modbus_close(ctx);
        modbus_free(ctx);
      });
    }
    for (auto& thread : threads) thread.join();
  };
  const auto start = Clock::now();
  clientsRead(std::nullopt);
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  std::vector<double> all;
  for (auto& samples : each) {
    all.insert(all.end(), samples.begin(), samples.end());
    samples.clear();
  }
  std::printf("\n2. %d clients x %d requests at once: %zu answered, %d failed, %.3f s, "
              "%.0f requests/s\n",
              options.clients, options.requests, all.size(), wrong.load(), seconds,
              static_cast<double>(all.size()) / seconds);
  PrintSummary("round trip under load", all, "ms");

  // 3. The watch's rounds: 50 periods alone, then 50 with the clients reading without a pause.
  const auto window = std::chrono::milliseconds(options.every * 50);
  const QDateTime quietFrom = QDateTime::currentDateTime();
  std::this_thread::sleep_for(window);
  const QDateTime busyFrom = QDateTime::currentDateTime();
  clientsRead(Clock::now() + window);
  const QDateTime busyTo = QDateTime::currentDateTime();
  std::size_t busyReads = 0;
  for (const auto& samples : each) busyReads += samples.size();
  std::this_thread::sleep_for(std::chrono::milliseconds(options.every * 3));
  const QString out = watch.Out();
  int skippedQuiet = 0;
  int skippedBusy = 0;
  const auto quiet = Lateness(out, quietFrom, busyFrom, options.every, &skippedQuiet);
  const auto busy = Lateness(out, busyFrom, busyTo, options.every, &skippedBusy);
  std::printf("\n3. the watch's rounds (every %d ms) against their slots; %zu reads by the "
              "clients meanwhile, %d failed\n", options.every, busyReads, wrong.load());
  PrintSummary("lateness without clients", quiet, "ms");
  PrintSummary("lateness with the clients", busy, "ms");
  std::printf("slots skipped: %d without, %d with\n", skippedQuiet, skippedBusy);
  return failed == 0 && wrong == 0 ? 0 : 1;
}

}  // namespace
}  // namespace karvello::bench

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  karvello::bench::Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const auto next = [&](int& into) {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "%s needs a value\n", arg.c_str());
        std::exit(2);
      }
      into = std::atoi(argv[++i]);
      if (into < 1) {
        std::fprintf(stderr, "%s takes a whole number of at least 1\n", arg.c_str());
        std::exit(2);
      }
    };
    if (arg == "--reps") {
      next(options.reps);
    } else if (arg == "--clients") {
      next(options.clients);
    } else if (arg == "--requests") {
      next(options.requests);
    } else if (arg == "--every") {
      next(options.every);
    } else if (arg == "--help") {
      std::printf(
          "Usage: karvello-bench-scada [--reps N] [--clients C] [--requests R] [--every MS]\n"
          "The watch's Modbus TCP server (karvello-cli watch --modbus-server over karvello-sim)\n"
          "against libmodbus's modbus_reply: the quality block's round trip side by side (N\n"
          "reads each, default 2000); C clients x R requests at once (16 x 1000): throughput\n"
          "and round trips; the watch's round lateness (every MS, 100) without and with them.\n");
      return 0;
    } else {
      std::fprintf(stderr, "unknown option %s (see --help)\n", arg.c_str());
      return 2;
    }
  }
  return karvello::bench::Run(options);
}
