// karvello-bench-gateway: the time from a reply's last byte on the line to the reading at an MQTT
// subscriber on loopback, side by side with the same reading printed to standard output.
//
//   karvello-bench-gateway [--readings N] [--every MS] [--help]
//
// The real karvello-cli runs `watch --format json --mqtt ...` against the simulated detector on a
// pseudo-terminal, its replies paced at 9600 baud, and a local Mosquitto broker (the tests'),
// and a subscriber here with a network thread of its own takes each message. The simulated
// detector pins each reply's last byte just before its write (Exchange::replyLastByte); the
// line on standard output is timed as this program reads it from the pipe, the message as the
// subscriber's callback gets it, both on the steady clock the three processes share. The n-th
// exchange, line and message are one reading (each is checked to be the same: its time stamp).
// The first 5 readings, made while the watch connects, are left out.

#include <mosquitto.h>
#include <poll.h>

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QString>
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "bench/stats.h"
#include "support/mqtt_broker.h"
#include "sim/simulated_detector.h"

namespace karvello::bench {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr int kWarmUp = 5;
constexpr const char* kTopic = "karvello/bench/1/voltage";

// A reading as it arrived, and when.
struct Arrival {
  std::string time;  // its "time" field
  Clock::time_point at;
};

std::string TimeField(const QByteArray& json) {
  return QJsonDocument::fromJson(json).object().value("time").toString().toStdString();
}

// A subscriber with its own network thread that stamps each message as it comes.
class TimedSubscriber {
 public:
  explicit TimedSubscriber(int port) {
    mosquitto_lib_init();
    mosq_ = mosquitto_new(nullptr, true, this);
    mosquitto_connect_callback_set(
        mosq_, [](mosquitto* m, void*, int) { mosquitto_subscribe(m, nullptr, kTopic, 1); });
    mosquitto_subscribe_callback_set(mosq_, [](mosquitto*, void* self, int, int, const int*) {
      auto* me = static_cast<TimedSubscriber*>(self);
      std::lock_guard lock(me->mutex_);
      me->subscribed_ = true;
      me->changed_.notify_all();
    });
    mosquitto_message_callback_set(
        mosq_, [](mosquitto*, void* self, const mosquitto_message* message) {
          const Clock::time_point at = Clock::now();
          auto* me = static_cast<TimedSubscriber*>(self);
          const QByteArray payload(static_cast<const char*>(message->payload), message->payloadlen);
          std::lock_guard lock(me->mutex_);
          me->arrivals_.push_back({TimeField(payload), at});
        });
    mosquitto_connect(mosq_, "127.0.0.1", port, 60);
    mosquitto_loop_start(mosq_);
  }
  ~TimedSubscriber() {
    mosquitto_disconnect(mosq_);
    mosquitto_loop_stop(mosq_, true);
    mosquitto_destroy(mosq_);
  }
  bool WaitSubscribed() {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, 10s, [&] { return subscribed_; });
  }
  std::vector<Arrival> Arrivals() {
    std::lock_guard lock(mutex_);
    return arrivals_;
  }

 private:
  mosquitto* mosq_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool subscribed_ = false;
  std::vector<Arrival> arrivals_;
};

std::string LoadAverage() {
  char text[64] = "?";
  if (std::FILE* file = std::fopen("/proc/loadavg", "r")) {
    if (!std::fgets(text, sizeof text, file)) text[0] = '\0';
    std::fclose(file);
  }
  std::string load(text);
  return load.substr(0, load.find(' ', load.find(' ', load.find(' ') + 1) + 1));
}

void Usage() {
  std::puts(
      "karvello-bench-gateway [--readings N] [--every MS]\n"
      "Runs `karvello-cli watch --format json --mqtt ...` for N voltage readings (default 300)\n"
      "every MS milliseconds (default 100) against the simulated detector, replies paced at 9600\n"
      "baud, and a local Mosquitto broker; prints the time from each reply's last byte to its\n"
      "line on standard output and to its message at a subscriber (median, p5, p95, p99, max),\n"
      "the first 5 readings left out. Exits 1 when a reading is missing or out of order, or the\n"
      "message's median is 5 ms or more or its p99 50 ms or more.");
}

int Main(int argc, char** argv) {
  long readings = 300;
  long everyMs = 100;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--readings" && i + 1 < argc) {
      readings = std::atol(argv[++i]);
    } else if (arg == "--every" && i + 1 < argc) {
      everyMs = std::atol(argv[++i]);
    } else {
      Usage();
      return arg == "--help" ? 0 : 2;
    }
  }
  if (readings <= kWarmUp || everyMs < 1) {
    Usage();
    return 2;
  }

  testing::MosquittoBroker broker;
  if (!broker.Start()) {
    std::fprintf(stderr, "the broker does not start\n");
    return 1;
  }
  TimedSubscriber subscriber(broker.port());
  if (!subscriber.WaitSubscribed()) {
    std::fprintf(stderr, "the subscriber does not subscribe\n");
    return 1;
  }
  sim::LineConfig line;
  line.pacing = true;
  sim::SimulatedDetector detector({sim::DetectorConfig{}}, line);

  QProcess watch;
  watch.setProcessChannelMode(QProcess::ForwardedErrorChannel);
  watch.start(QStringLiteral(KARVELLO_CLI_PATH),
              {"watch", "-p", QString::fromStdString(detector.SlavePath()), "-a", "1", "--every",
               QString::number(everyMs) + "ms", "--count", QString::number(readings), "--format",
               "json", "--no-record", "--mqtt",
               QString::fromStdString("mqtt://127.0.0.1:" + std::to_string(broker.port())),
               "--site", "bench"});
  if (!watch.waitForStarted(5000)) {
    std::fprintf(stderr, "karvello-cli does not start\n");
    return 1;
  }
  // Standard output as it comes, each line stamped as it is read.
  std::vector<Arrival> printed;
  QByteArray pending;
  while (watch.state() != QProcess::NotRunning || watch.bytesAvailable() > 0) {
    watch.waitForReadyRead(1000);
    const Clock::time_point at = Clock::now();
    pending += watch.readAllStandardOutput();
    for (qsizetype end; (end = pending.indexOf('\n')) >= 0;) {
      printed.push_back({TimeField(pending.left(end)), at});
      pending.remove(0, end + 1);
    }
  }
  const int status = watch.exitCode();
  // The last messages, sent as the watch stops.
  for (int i = 0; i < 100 && subscriber.Arrivals().size() < printed.size(); ++i) {
    ::poll(nullptr, 0, 20);
  }
  const std::vector<Arrival> messages = subscriber.Arrivals();
  const auto exchanges = detector.Exchanges();

  std::printf("karvello-bench-gateway: %ld voltage readings every %ld ms, load average %s\n",
              readings, everyMs, LoadAverage().c_str());
  bool whole = status == 0 && printed.size() == static_cast<std::size_t>(readings) &&
               messages.size() == printed.size() && exchanges.size() == printed.size();
  std::vector<double> toStdout, toSubscriber;
  for (std::size_t i = 0; whole && i < printed.size(); ++i) {
    if (messages[i].time != printed[i].time) {
      whole = false;
      break;
    }
    if (i < kWarmUp) continue;
    toStdout.push_back(Ms(printed[i].at - exchanges[i].replyLastByte));
    toSubscriber.push_back(Ms(messages[i].at - exchanges[i].replyLastByte));
  }
  if (!whole) {
    std::printf("readings: %zu printed, %zu published, %zu exchanges, status %d: not whole\n",
                printed.size(), messages.size(), exchanges.size(), status);
    return 1;
  }
  PrintSummary("reply's last byte -> line on stdout", toStdout, "ms");
  PrintSummary("reply's last byte -> message at subscriber", toSubscriber, "ms");
  std::sort(toSubscriber.begin(), toSubscriber.end());
  const double median = Quantile(toSubscriber, 0.5);
  const double p99 = Quantile(toSubscriber, 0.99);
  std::printf("goal: median < 5 ms (%s), p99 < 50 ms (%s)\n", median < 5 ? "met" : "NOT met",
              p99 < 50 ? "met" : "NOT met");
  return median < 5 && p99 < 50 ? 0 : 1;
}

}  // namespace
}  // namespace karvello::bench

int main(int argc, char** argv) {
  return karvello::bench::Main(argc, argv);
}
