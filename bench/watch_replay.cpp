// karvello-bench-replay: how fast a watch started again sends what its broker had not
// acknowledged, and how late that leaves its first live reading.
//
//   karvello-bench-replay [--waiting N] [--help]
//
// karvello-sim serves a detector; a record is written with N readings of it (10000 by default)
// after the place the watch's file says its broker acknowledged; a local Mosquitto broker (Debian's
// mosquitto) and a subscriber run. karvello-cli watch --every 1s --mqtt is then started: the time
// from its start until the subscriber has every waiting reading, once each and in order, and how
// long after its own time (its slot) the first live reading arrives.

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "gateway/published_point.h"
#include "record/csv.h"
#include "record/record_format.h"
#include "support/mqtt_broker.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const std::string kPrefix = "karvello/bench";

karvello::Outcome Voltage() {
  karvello::Outcome outcome;
  outcome.operation = karvello::Operation::kQueryVoltage;
  outcome.address = 1;
  outcome.result = karvello::Result::kAnswered;
  outcome.value = karvello::Reading{220, 0, false};
  return outcome;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  int waiting = 10000;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--waiting") == 0 && i + 1 < argc) {
      waiting = std::atoi(argv[++i]);
    } else {
      std::printf(
          "usage: karvello-bench-replay [--waiting N]\n"
          "The time a watch started again takes to send the N readings (10000) its broker had\n"
          "not acknowledged, and the lateness of its first live reading.\n");
      return std::strcmp(argv[i], "--help") == 0 ? 0 : 2;
    }
  }

  QProcess sim;
  sim.start(QStringLiteral(KARVELLO_SIM_PATH), {});
  QString simOut;
  QString port;
  for (const auto deadline = Clock::now() + 5s; port.isEmpty() && Clock::now() < deadline;) {
    sim.waitForReadyRead(50);
    simOut += QString::fromUtf8(sim.readAllStandardOutput());
    port = QRegularExpression("Serving (\\S+)").match(simOut).captured(1);
  }
  if (port.isEmpty()) {
    std::fprintf(stderr, "karvello-sim did not start\n");
    return 1;
  }

  QTemporaryDir folder;
  const QString record = folder.filePath(QStringLiteral("record.csv"));
  const QDateTime base = QDateTime::currentDateTime().addSecs(-waiting);
  {
    std::string text = std::string(karvello::kUtf8ByteOrderMark) + std::string(karvello::kRecordHeader);
    for (int i = 0; i < waiting; ++i) {
      text += karvello::CsvLine(karvello::RowOf(Voltage(), port.toStdString(), base.addSecs(i)));
    }
    QFile file(record);
    file.open(QIODevice::WriteOnly);
    file.write(text.data(), static_cast<qint64>(text.size()));
  }
  const QString pointPath =
      karvello::gateway::PointPath(record, port.toStdString(), kPrefix);
  karvello::gateway::WritePointFile(pointPath, karvello::gateway::PointText({}), true,
                                    nullptr);

  karvello::testing::MosquittoBroker broker;
  if (!broker.Start()) {
    std::fprintf(stderr, "mosquitto did not start\n");
    return 1;
  }
  karvello::testing::Subscriber subscriber(broker.port(), {kPrefix + "/1/voltage"});
  subscriber.WaitSubscribed(1);

  QProcess watch;
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert(QStringLiteral("KARVELLO_RECORD"), record);
  watch.setProcessEnvironment(environment);
  watch.setStandardOutputFile(QProcess::nullDevice());
  const QDateTime started = QDateTime::currentDateTime();
  const auto start = Clock::now();
  watch.start(QStringLiteral(KARVELLO_CLI_PATH),
              {"watch", "-p", port, "-a", "1", "--every", "1s", "--format", "json", "--mqtt",
               QString::fromStdString("mqtt://127.0.0.1:" + std::to_string(broker.port())),
               "--site", "bench"});

  double replaySeconds = -1;
  double liveLateness = -1;
  bool inOrder = true;
  std::size_t seen = 0;
  QDateTime previous;
  for (const auto deadline = start + 60s; Clock::now() < deadline && liveLateness < 0;) {
    std::this_thread::sleep_for(5ms);
    const auto messages = subscriber.Messages();
    for (; seen < messages.size(); ++seen) {
      const auto& message = messages[seen];
      const QDateTime time = QDateTime::fromString(
          QJsonDocument::fromJson(QByteArray::fromStdString(message.payload))
              .object()
              .value("time")
              .toString(),
          Qt::ISODateWithMs);
      if (previous.isValid() && time <= previous) inOrder = false;
      previous = time;
      if (time < started) {
        if (seen + 1 == static_cast<std::size_t>(waiting)) {
          replaySeconds = std::chrono::duration<double>(Clock::now() - start).count();
        }
      } else if (liveLateness < 0) {
        liveLateness = static_cast<double>(time.msecsTo(QDateTime::currentDateTime())) / 1000;
      }
    }
  }
  watch.terminate();
  watch.waitForFinished(10000);
  sim.terminate();
  sim.waitForFinished(5000);
  std::printf("waiting readings:        %d\n", waiting);
  std::printf("all sent after:          %.2f s (from the watch's start)\n", replaySeconds);
  std::printf("first live reading:      %.2f s after its time\n", liveLateness);
  std::printf("arrived once, in order:  %s\n",
              inOrder && seen >= static_cast<std::size_t>(waiting) ? "yes" : "no");
  return replaySeconds >= 0 && liveLateness >= 0 && inOrder ? 0 : 1;
}
