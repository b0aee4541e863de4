// karvello-bench-mqtt: what a full MQTT queue costs, and how fast it empties once the broker is
// back.
//
//   karvello-bench-mqtt [--messages N] [--help]
//
// The publisher starts with no broker listening and is given N readings (10000 by default,
// the queue's bound), each the JSON object of --format json: the process's resident memory
// before and after gives the queue's cost. A local Mosquitto broker (Debian's mosquitto) is then
// started on the port: the time from the connection to the last acknowledgement gives the rate,
// and a subscriber checks that every reading came once, in order.

#include <QCoreApplication>
#include <QDateTime>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "gateway/site_publisher.h"
#include "support/event_loop.h"
#include "support/resident_memory.h"
#include "support/mqtt_broker.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A resistance of 34.50 Ω from one of three detectors.
karvello::Outcome Reading() {
  karvello::Outcome outcome;
  outcome.operation = karvello::Operation::kQueryResistance;
  outcome.result = karvello::Result::kAnswered;
  outcome.value = karvello::Reading{3450, 2, false};
  return outcome;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  int messages = static_cast<int>(karvello::gateway::kMqttQueueLimit);
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--messages") == 0 && i + 1 < argc) {
      messages = std::atoi(argv[++i]);
    } else {
      std::printf(
          "usage: karvello-bench-mqtt [--messages N]\n"
          "The memory of N queued readings (10000) and the rate they are delivered at\n"
          "to a local Mosquitto broker once it is back.\n");
      return std::strcmp(argv[i], "--help") == 0 ? 0 : 2;
    }
  }

  karvello::testing::MosquittoBroker broker;
  karvello::gateway::SitePublisherSettings settings;
  settings.client.broker =
      karvello::gateway::ParseMqttUrl("mqtt://127.0.0.1:" + std::to_string(broker.port()));
  settings.site = "bench";
  settings.client.firstRetry = 100ms;
  settings.client.lastRetry = 100ms;
  settings.client.queueLimit = static_cast<std::size_t>(messages);
  karvello::gateway::SitePublisher site(settings);
  karvello::gateway::MqttClient& publisher = site.Client();
  publisher.SetOnLog([](const std::string&) {});
  site.Start();
  karvello::testing::RunFor(200ms);

  const QDateTime base = QDateTime::currentDateTime();
  std::size_t payloadBytes = 0;
  const long before = karvello::testing::ResidentKiB();
  for (int i = 0; i < messages; ++i) {
    const QDateTime when = base.addMSecs(i * 10000);
    const int address = 1 + i % 3;
    payloadBytes += static_cast<std::size_t>(
        site.Schema().ReadingMessage(Reading(), address, "/dev/ttyUSB0", when)->payload.size());
    site.PublishReading(Reading(), address, "/dev/ttyUSB0", when);
  }
  const long after = karvello::testing::ResidentKiB();
  std::printf("queued: %zu messages, %zu payload bytes (%.0f per message)\n", publisher.Queued(),
              payloadBytes, static_cast<double>(payloadBytes) / messages);
  std::printf("resident memory: %ld KiB before, %ld KiB after: +%ld KiB (%.0f bytes a message)\n",
              before, after, after - before, (after - before) * 1024.0 / messages);

  if (!broker.Start()) {
    std::fprintf(stderr, "mosquitto does not start\n");
    return 1;
  }
  karvello::testing::Subscriber subscriber(broker.port(), {"karvello/bench/+/resistance"});
  subscriber.WaitSubscribed(1);
  const bool connected = karvello::testing::RunUntil([&] { return publisher.Connected(); }, 5s);
  const auto start = Clock::now();
  const bool emptied =
      connected && karvello::testing::SpinUntil([&] { return publisher.Queued() == 0; }, 120s);
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  karvello::testing::RunUntil(
      [&] { return subscriber.Count() >= static_cast<std::size_t>(messages); }, 30s);

  bool inOrder = subscriber.Count() == static_cast<std::size_t>(messages);
  const auto got = subscriber.Messages();
  for (std::size_t i = 0; inOrder && i < got.size(); ++i) {
    const int sequence = static_cast<int>(i);
    const auto expected = site.Schema().ReadingMessage(Reading(), 1 + sequence % 3, "/dev/ttyUSB0",
                                                       base.addMSecs(sequence * 10000));
    inOrder = got[i].payload == expected->payload.toStdString();
  }
  std::printf("delivered: %llu in %.3f s (%.0f messages/s) after the connection; %s\n",
              static_cast<unsigned long long>(publisher.Delivered()), seconds,
              publisher.Delivered() / seconds,
              inOrder ? "the subscriber had each once, in order" : "the subscriber's copy differs");
  return emptied && inOrder ? 0 : 1;
}
