// karvello-bench-watch: an accelerated soak of `karvello-cli watch`. The real karvello-cli reads
// the voltage at a short interval, many thousands of times, from the simulated detector (or a bus
// of three) on a pseudo-terminal, its replies paced at 9600 baud; the benchmark reads the CSV it
// prints as it comes and watches the process.
//
//   karvello-bench-watch [--readings N] [--every MS] [--bus] [--record] [--mqtt URL] [--cli PATH]
//                        [--help]
//
// - memory: the resident set (VmRSS) of the karvello-cli process after a warm-up of 100
//   readings, at every 1000th reading and at the last; the drift is the last minus the first.
// - timing: the n-th round is due n intervals after the watch's start. The simulated detector
//   stamps each request's first byte to the microsecond; from them the benchmark finds each
//   reading's slot and its due time (see SlotsOf) and prints, for every reading, its request
//   after its slot's due time (the interval kept true) and its time stamp in the CSV after that
//   due time (milliseconds, the drift), with the exchange and the skipped slots (rounds left out
//   because the one before ran into their time). The drift must stay within the line's own time
//   per reading, 8 bytes of request and 7 of reply at 9600 baud 8N1, 15.625 ms, and must not
//   grow from one block of 1000 readings to the next.
// - the readings: their count, the failures (anything but "answered"), wrong values.

#include <QDateTime>
#include <QString>
#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "bench/process_status.h"
#include "bench/stats.h"
#include "sim/simulated_detector.h"

#include <sys/wait.h>
#include <unistd.h>

namespace karvello::bench {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr double kByteMs = 10.0 / 9600.0 * 1000.0;  // 1.0417 ms: start, 8 data, stop bits
// A voltage reading on the wire: the 8-byte request and the 7-byte reply.
constexpr double kLineMsPerReading = (8 + 7) * kByteMs;
constexpr long kWarmUp = 100;  // readings before the first memory sample
constexpr long kBlock = 1000;  // readings per memory sample and per block of the trend

struct Options {
  long readings = 10'000;
  long everyMs = 0;  // 0: 25 ms for one detector, 50 ms for the bus
  bool bus = false;
  bool record = false;  // the outcomes go to a record file of the benchmark's own
  std::string mqtt;     // the watch publishes each reading to this broker
  std::string cli = KARVELLO_CLI_PATH;
};

struct Reading {
  std::string csvTime;  // the CSV's time stamp, as printed
  std::int64_t wallMs = 0;
  int address = 0;
  bool answered = false;
  bool rightValue = false;
};

struct MemorySample {
  long reading = 0;  // readings read when it was taken
  long rssKiB = 0;
};

// User plus system CPU time of the process in milliseconds (/proc/PID/stat fields 14 and 15).
std::optional<double> CpuMs(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat;
  if (!std::getline(in, stat)) return std::nullopt;
  const auto close = stat.rfind(')');
  if (close == std::string::npos) return std::nullopt;
  // Fields after the command name start at field 3 (the state).
  char* cursor = stat.data() + close + 2;
  long ticks = 0;
  for (int field = 3; field <= 15; ++field) {
    char* end = nullptr;
    const long value = std::strtol(cursor, &end, 10);
    if (field >= 14) ticks += value;
    if (field == 3) {  // the state is a letter
      end = cursor + 1;
    }
    cursor = end;
  }
  return 1000.0 * static_cast<double>(ticks) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

std::vector<std::string> SplitCsv(const std::string& line) {
  // The watch's fields hold no commas (time, port path, numbers, names).
  std::vector<std::string> fields;
  std::size_t start = 0;
  while (true) {
    const auto comma = line.find(',', start);
    fields.push_back(line.substr(start, comma - start));
    if (comma == std::string::npos) return fields;
    start = comma + 1;
  }
}

std::string LoadAverage() {
  std::ifstream in("/proc/loadavg");
  std::string a, b, c;
  in >> a >> b >> c;
  return a + " " + b + " " + c;
}

// A reading's timing against its slot: its request on the wire, its time stamp in the CSV.
struct Timing {
  long slot = 0;
  double lateMs = 0;      // the request's first byte after the slot's due time
  double driftMs = 0;     // the time stamp after the slot's due time
  double exchangeMs = 0;  // its exchange on the simulated line, request to reply
  double stampLagMs = 0;  // its time stamp after the reply's last byte on the line
};

// The slots of one address's requests (milliseconds on the steady clock, in order): where slot 0
// is due, and each request's slot. karvello-cli's own start is not seen from outside; its slots
// are found from the requests' phase within the interval: the phase most requests share, less
// the spread of the earliest 1 % below it, is the due time. A request is never early, so the
// first request is in slot 0 and each later one is in the last slot due before it (a slot left
// out when the round before ran into it is a skipped slot).
struct Slots {
  double originMs = 0;
  std::vector<long> slot;
  long skipped = 0;
};

Slots SlotsOf(const std::vector<double>& requests, double everyMs) {
  Slots out;
  if (requests.empty()) return out;
  // The phase most requests share, to 0.25 ms.
  constexpr int kBins = 400;
  std::vector<int> bins(kBins, 0);
  auto phase = [&](double r) { return std::fmod(r - requests[0], everyMs); };
  for (double r : requests) {
    ++bins[std::min(kBins - 1, static_cast<int>(phase(r) / everyMs * kBins))];
  }
  const auto mode = std::max_element(bins.begin(), bins.end()) - bins.begin();
  const double centre = (static_cast<double>(mode) + 0.5) * everyMs / kBins;
  // Each request's phase about it, between half an interval before and after; the earliest 1 %.
  std::vector<double> around;
  for (double r : requests) {
    double d = std::fmod(phase(r) - centre + 1.5 * everyMs, everyMs) - 0.5 * everyMs;
    around.push_back(d);
  }
  std::sort(around.begin(), around.end());
  const double due = centre + Quantile(around, 0.01);  // after requests[0], within an interval
  out.originMs = requests[0] + due - everyMs * std::ceil(due / everyMs);
  long previous = -1;
  for (double r : requests) {
    const long slot =
        std::max(previous + 1, static_cast<long>(std::floor((r - out.originMs) / everyMs + 0.02)));
    out.skipped += slot - previous - 1;
    out.slot.push_back(slot);
    previous = slot;
  }
  return out;
}

void Usage() {
  std::puts(
      "karvello-bench-watch [--readings N] [--every MS] [--bus] [--record] [--mqtt URL] [--cli "
      "PATH]\n"
      "Runs `karvello-cli watch --format csv --no-record` for N voltage readings (default 10000)\n"
      "at an interval of MS milliseconds (default 25; 50 with --bus) against the simulated\n"
      "detector at address 1 (--bus: three detectors at 3, 7 and 200, one round reading all\n"
      "three) on a pseudo-terminal, replies paced at 9600 baud. Prints the resident memory of\n"
      "karvello-cli through the run, the drift of the readings against their slots, its trend,\n"
      "and the readings, failures and skipped slots. Exits 1 when a reading failed or was wrong,\n"
      "the watch did not end 0, or the memory or the drift broke its goal. --record: the\n"
      "watch records each outcome (KARVELLO_RECORD, a file in a new folder under /tmp).\n"
      "--mqtt URL: the watch publishes each reading to the broker at URL (site \"bench\").");
}

int Main(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--readings" && i + 1 < argc) {
      options.readings = std::atol(argv[++i]);
    } else if (arg == "--every" && i + 1 < argc) {
      options.everyMs = std::atol(argv[++i]);
    } else if (arg == "--bus") {
      options.bus = true;
    } else if (arg == "--record") {
      options.record = true;
    } else if (arg == "--mqtt" && i + 1 < argc) {
      options.mqtt = argv[++i];
    } else if (arg == "--cli" && i + 1 < argc) {
      options.cli = argv[++i];
    } else {
      Usage();
      return arg == "--help" ? 0 : 2;
    }
  }
  if (options.everyMs <= 0) options.everyMs = options.bus ? 50 : 25;
  if (options.readings < 2) {
    Usage();
    return 2;
  }

  // The detectors: address and voltage.
  std::map<int, std::uint16_t> volts = {{1, 220}};
  if (options.bus) volts = {{3, 220}, {7, 218}, {200, 221}};
  std::vector<sim::DetectorConfig> bus;
  std::string addresses;
  for (const auto& [address, voltage] : volts) {
    bus.push_back({.address = static_cast<std::uint8_t>(address), .voltage = voltage});
    addresses += (addresses.empty() ? "" : ",") + std::to_string(address);
  }
  sim::SimulatedDetector detector(bus, {.pacing = true});

  const long perRound = static_cast<long>(volts.size());
  const long rounds = (options.readings + perRound - 1) / perRound;
  const long expected = rounds * perRound;
  // Every reading's exchange is looked at once the watch is done.
  detector.KeepExchanges(static_cast<std::size_t>(expected));
  const std::string every = std::to_string(options.everyMs) + "ms";
  const std::string count = std::to_string(rounds);
  std::vector<std::string> args = {
      options.cli, "watch", "-a",          addresses, "--every",           every, "--count", count,
      "--format",  "csv",   "--no-record", "-p",      detector.SlavePath()};
  // With --record the watch records each outcome, as it does by default, in a file of the
  // benchmark's own.
  std::string recordPath;
  if (options.record) {
    char folder[] = "/tmp/karvello-bench-watch-XXXXXX";
    if (::mkdtemp(folder) == nullptr) return 1;
    recordPath = std::string(folder) + "/record.csv";
    std::erase(args, std::string("--no-record"));
  }
  if (!options.mqtt.empty()) args.insert(args.end(), {"--mqtt", options.mqtt, "--site", "bench"});
  std::string shown;
  for (std::size_t i = 1; i < args.size(); ++i) shown += " " + args[i];
  std::printf("%skarvello-cli%s\n",
              recordPath.empty() ? "" : ("KARVELLO_RECORD=" + recordPath + " ").c_str(),
              shown.c_str());
  std::printf("load average before: %s\n", LoadAverage().c_str());
  std::fflush(stdout);

  int out[2];
  if (::pipe(out) != 0) return 1;
  const pid_t pid = ::fork();
  if (pid < 0) return 1;
  if (pid == 0) {
    ::dup2(out[1], STDOUT_FILENO);
    ::close(out[0]);
    ::close(out[1]);
    if (!recordPath.empty()) ::setenv("KARVELLO_RECORD", recordPath.c_str(), 1);
    std::vector<char*> argvChild;
    for (std::string& a : args) argvChild.push_back(a.data());
    argvChild.push_back(nullptr);
    ::execv(argvChild[0], argvChild.data());
    std::fprintf(stderr, "cannot run %s: %s\n", argvChild[0], std::strerror(errno));
    ::_exit(127);
  }
  ::close(out[1]);
  FILE* csv = ::fdopen(out[0], "r");

  const auto begun = Clock::now();
  // The steady clock of the detector's stamps on the wall clock of the CSV's.
  const double wallMinusSteadyMs =
      std::chrono::duration<double, std::milli>(std::chrono::system_clock::now().time_since_epoch())
          .count() -
      std::chrono::duration<double, std::milli>(begun.time_since_epoch()).count();
  std::vector<Reading> readings;
  readings.reserve(static_cast<std::size_t>(expected));
  std::vector<MemorySample> memory;
  MemorySample last;
  std::optional<double> cpuMs;
  long unreadable = 0;
  char* buffer = nullptr;
  std::size_t capacity = 0;
  bool header = true;
  while (::getline(&buffer, &capacity, csv) > 0) {
    std::string line(buffer);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    if (header) {
      header = false;
      continue;
    }
    const auto fields = SplitCsv(line);
    if (fields.size() != 7) {
      ++unreadable;
      continue;
    }
    Reading reading;
    reading.csvTime = fields[0];
    reading.wallMs = QDateTime::fromString(QString::fromStdString(fields[0]), Qt::ISODateWithMs)
                         .toMSecsSinceEpoch();
    reading.address = std::atoi(fields[2].c_str());
    reading.answered = fields[4] == "answered";
    const auto voltage = volts.find(reading.address);
    reading.rightValue =
        fields[3] == "voltage" && voltage != volts.end() &&
        (!reading.answered || (fields[5] == std::to_string(voltage->second) && fields[6] == "V"));
    readings.push_back(reading);
    const long n = static_cast<long>(readings.size());
    // The process may be ending after its last line: each sample it gives is the latest.
    if (const auto rss = StatusKiB(pid, "VmRSS")) {
      last = {n, *rss};
      if (n == kWarmUp || (n % kBlock == 0 && n > kWarmUp)) memory.push_back(last);
      if (const auto cpu = CpuMs(pid)) cpuMs = cpu;
    }
  }
  std::free(buffer);
  std::fclose(csv);
  int status = 0;
  ::waitpid(pid, &status, 0);
  const double runMs = Ms(Clock::now() - begun);
  const int exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  if (memory.empty() || memory.back().reading != last.reading) memory.push_back(last);

  // The readings, and the exchange on the line behind each: the n-th request on the line is
  // the n-th reading's.
  const std::vector<sim::Exchange> log = detector.Exchanges();
  long failures = 0;
  long wrong = 0;
  for (const Reading& r : readings) {
    failures += r.answered ? 0 : 1;
    wrong += r.rightValue ? 0 : 1;
  }
  const bool matched = log.size() == readings.size();

  // Per address: the slot of each reading, its request's lateness and its time stamp's drift.
  const double everyMs = static_cast<double>(options.everyMs);
  auto steadyMs = [](Clock::time_point t) {
    return std::chrono::duration<double, std::milli>(t.time_since_epoch()).count();
  };
  std::vector<Timing> timing(readings.size());
  long skipped = 0;
  std::map<int, std::vector<std::size_t>> byAddress;
  for (std::size_t i = 0; matched && i < readings.size(); ++i) {
    byAddress[readings[i].address].push_back(i);
  }
  for (const auto& [address, indices] : byAddress) {
    std::vector<double> requests;
    for (std::size_t i : indices) requests.push_back(steadyMs(log[i].requestFirstByte));
    const Slots found = SlotsOf(requests, everyMs);
    skipped += found.skipped;
    for (std::size_t j = 0; j < indices.size(); ++j) {
      Timing& t = timing[indices[j]];
      const double due = found.originMs + static_cast<double>(found.slot[j]) * everyMs;
      const sim::Exchange& e = log[indices[j]];
      t.slot = found.slot[j];
      t.lateMs = requests[j] - due;
      t.driftMs = static_cast<double>(readings[indices[j]].wallMs) - (due + wallMinusSteadyMs);
      t.exchangeMs = Ms(e.replyLastByte - e.requestFirstByte);
      t.stampLagMs = static_cast<double>(readings[indices[j]].wallMs) -
                     (steadyMs(e.replyLastByte) + wallMinusSteadyMs);
    }
  }

  std::vector<double> late, drift, exchangeMs, stampLag;
  std::vector<std::vector<Timing>> blocks;
  long over = 0;          // readings whose drift is over the line's time per reading
  long overLongLine = 0;  // ... of which the exchange itself took longer than that
  for (std::size_t i = 0; matched && i < readings.size(); ++i) {
    if (timing[i].driftMs > kLineMsPerReading) {
      ++over;
      if (timing[i].exchangeMs > kLineMsPerReading) ++overLongLine;
    }
    stampLag.push_back(timing[i].stampLagMs);
    late.push_back(timing[i].lateMs);
    drift.push_back(timing[i].driftMs);
    if (blocks.size() <= i / kBlock) blocks.emplace_back();
    blocks[i / kBlock].push_back(timing[i]);
  }
  for (const sim::Exchange& e : log) {
    if (e.finished && !e.reply.empty()) {
      exchangeMs.push_back(Ms(e.replyLastByte - e.requestFirstByte));
    }
  }
  // Least-squares slope of the drift against the reading's number, per 1000 readings.
  double slope = 0;
  if (drift.size() > 1) {
    const double n = static_cast<double>(drift.size());
    double mx = 0, my = 0, sxy = 0, sxx = 0;
    for (std::size_t i = 0; i < drift.size(); ++i) {
      mx += static_cast<double>(i) / n;
      my += drift[i] / n;
    }
    for (std::size_t i = 0; i < drift.size(); ++i) {
      sxy += (static_cast<double>(i) - mx) * (drift[i] - my);
      sxx += (static_cast<double>(i) - mx) * (static_cast<double>(i) - mx);
    }
    slope = sxy / sxx * kBlock;
  }

  std::printf("load average after:  %s\n", LoadAverage().c_str());
  std::printf("run %.1f s for %ld rounds of %ld ms (%.1f s of slots)\n", runMs / 1000.0, rounds,
              options.everyMs, static_cast<double>(rounds * options.everyMs) / 1000.0);
  std::printf(
      "readings %zu of %ld, failures %ld, wrong values %ld, unreadable lines %ld, exchanges on "
      "the line %zu, skipped slots %ld, karvello-cli exit %d\n",
      readings.size(), expected, failures, wrong, unreadable, log.size(), skipped, exitCode);
  if (cpuMs) {
    std::printf("karvello-cli CPU time %.0f ms, %.3f ms per reading\n", *cpuMs,
                *cpuMs / static_cast<double>(readings.size()));
  }
  if (!recordPath.empty()) {
    std::ifstream record(recordPath, std::ios::binary);
    long lines = 0;
    for (std::string line; std::getline(record, line);) ++lines;
    std::printf("record %s: %ld lines (a header and a row per reading)\n", recordPath.c_str(),
                lines);
    std::remove(recordPath.c_str());
    std::remove((recordPath + ".lock").c_str());  // the lock the writers take turns under
    ::rmdir(recordPath.substr(0, recordPath.rfind('/')).c_str());
  }
  std::puts("\nresident memory of karvello-cli (VmRSS):");
  for (const MemorySample& s : memory) {
    std::printf("  reading %6ld  %6ld KiB\n", s.reading, s.rssKiB);
  }
  const long rssDrift = memory.back().rssKiB - memory.front().rssKiB;
  std::printf("  drift, last minus first: %+ld KiB\n", rssDrift);

  std::printf("\ntiming against the slots (ms); the line's own time per reading %.3f ms\n",
              kLineMsPerReading);
  PrintSummary("request after its slot's due time", late, "ms");
  PrintSummary("time stamp after its slot's due time", drift, "ms");
  PrintSummary("exchange on the simulated line", exchangeMs, "ms");
  PrintSummary("time stamp after the reply's last byte", stampLag, "ms");
  std::printf(
      "readings drifting more than %.3f ms: %ld, %ld of them with an exchange longer "
      "than that\n",
      kLineMsPerReading, over, overLongLine);
  std::puts("trend, each block of 1000 readings: request behind its slot | time stamp drift");
  for (std::size_t b = 0; b < blocks.size(); ++b) {
    std::vector<double> l, d;
    for (const Timing& t : blocks[b]) {
      l.push_back(t.lateMs);
      d.push_back(t.driftMs);
    }
    std::sort(l.begin(), l.end());
    std::sort(d.begin(), d.end());
    std::printf(
        "  readings %6zu..%-6zu median %6.3f  p99 %7.3f  max %7.3f | median %6.1f  p99 %6.1f  "
        "max %6.1f\n",
        b * kBlock + 1, b * kBlock + blocks[b].size(), Quantile(l, 0.5), Quantile(l, 0.99),
        l.back(), Quantile(d, 0.5), Quantile(d, 0.99), d.back());
  }
  std::printf("  least-squares slope of the time stamp drift: %+.4f ms per 1000 readings\n", slope);

  std::sort(drift.begin(), drift.end());
  const double worst = drift.empty() ? NAN : drift.back();
  const bool readingsOk = static_cast<long>(readings.size()) == expected && failures == 0 &&
                          wrong == 0 && unreadable == 0 && exitCode == 0 && matched;
  const bool memoryOk = rssDrift < 1024;  // under 1 MiB over the run
  const bool driftOk = worst <= kLineMsPerReading;
  std::printf(
      "\nreadings %s; memory drift %s 1 MiB; worst time stamp drift %.3f ms %s %.3f ms; skipped "
      "slots %ld\n",
      readingsOk ? "all right" : "NOT all right", memoryOk ? "under" : "NOT under", worst,
      driftOk ? "within" : "NOT within", kLineMsPerReading, skipped);
  return readingsOk && memoryOk && driftOk ? 0 : 1;
}

}  // namespace
}  // namespace karvello::bench

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  return karvello::bench::Main(argc, argv);
}
