// karvello-cli watch as the site gateway across a restart: karvello-sim the detector, a real
// Mosquitto broker on 127.0.0.1 that keeps its sessions, and a subscriber whose session lasts.
// The broker goes away, the watch goes on reading, is killed (SIGKILL) with its readings waiting,
// and starts again before the broker is back: every reading of the record arrives, in time order,
// each at least once, repeated no more than the messages in flight, with the record set aside
// meanwhile or not.

#include <signal.h>

#include <gtest/gtest.h>

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>
#include <chrono>
#include <cstdio>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "gateway/mqtt_client.h"
#include "present/times.h"
#include "record/record.h"
#include "record/record_file.h"
#include "support/cli_process.h"
#include "support/mqtt_broker.h"
#include "support/sim_process.h"
#include "waiting_and_times.h"

namespace karvello {
namespace {

using namespace std::chrono_literals;
using testing::BrokerSetup;
using testing::MosquittoBroker;
using testing::Received;
using testing::ScratchFolder;
using testing::SimProcess;
using testing::Subscriber;

const std::string kPrefix = "karvello/site1";
const std::string kTopic = kPrefix + "/1/voltage";

using cli_test::WaitUntil;

// The times of the watch's voltage readings in the record, oldest first (across its files).
std::vector<std::string> RecordedTimes(const std::string& record, const std::string& port) {
  std::vector<std::string> times;
  for (const RecordRow& row : Record::Read(QString::fromStdString(record), RecordQuery{})) {
    if (row.kind == RecordRow::Kind::kOutcome && row.port == port && !row.again &&
        row.operation == Operation::kQueryVoltage && row.address == 1) {
      times.push_back(TimeText(row.time));
    }
  }
  return times;
}

// The times of the readings as they arrived; a retained one, given again at each subscription,
// is no new delivery.
std::vector<std::string> ArrivedTimes(const Subscriber& subscriber) {
  std::vector<std::string> times;
  for (const Received& message : subscriber.On(kTopic)) {
    if (message.retained) continue;
    const QJsonObject object =
        QJsonDocument::fromJson(QByteArray::fromStdString(message.payload)).object();
    times.push_back(object.value("time").toString().toStdString());
  }
  return times;
}

std::vector<std::string> FirstOfEach(const std::vector<std::string>& times) {
  std::vector<std::string> first;
  std::set<std::string> seen;
  for (const std::string& time : times) {
    if (seen.insert(time).second) first.push_back(time);
  }
  return first;
}

// Sets the record's file aside as the record does at its size limit, under its lock.
void SetAside(const std::string& record) {
  const QString path = QString::fromStdString(record);
  const FileLock lock(Record::LockPath(path), 2s);
  ASSERT_TRUE(lock.Held());
  ASSERT_EQ(std::rename(record.c_str(), Record::OldFilePath(path, 1).toStdString().c_str()), 0);
}

struct RestartCase {
  const char* name;
  int readingsAway;   // made while the broker is away, by the watch then killed
  int setAsideAfter;  // of those, after which the record is set aside; 0: never
};

void PrintTo(const RestartCase& c, std::ostream* out) {
  *out << c.name;
}

class WatchRestart : public ::testing::TestWithParam<RestartCase> {};

TEST_P(WatchRestart, LosesNoReadingOfTheRecord) {
  const RestartCase& c = GetParam();
  BrokerSetup setup;
  setup.persistence = true;
  MosquittoBroker broker(setup);
  ASSERT_TRUE(broker.Start());
  Subscriber subscriber(broker.port(), {kTopic}, {}, {}, "karvello-restart-test");
  ASSERT_TRUE(subscriber.WaitSubscribed(1));
  SimProcess sim({});
  ASSERT_FALSE(sim.Path().empty()) << sim.Output().toStdString();
  ScratchFolder folder;
  const std::string record = folder.File("record.csv");
  const QStringList arguments =
      QStringLiteral("watch -a 1 --every 1s --format json --site site1").split(' ')
      << "-p" << QString::fromStdString(sim.Path()) << "--mqtt"
      << "mqtt://127.0.0.1:" + QString::number(broker.port());

  auto first = std::make_unique<Cli>(arguments, QString::fromStdString(record));
  ASSERT_TRUE(WaitUntil([&] { return ArrivedTimes(subscriber).size() >= 3; }, 15s)) << first->Err();
  broker.Stop();
  const std::size_t before = RecordedTimes(record, sim.Path()).size();
  const auto madeAway = [&] { return RecordedTimes(record, sim.Path()).size() - before; };
  if (c.setAsideAfter > 0) {
    ASSERT_TRUE(
        WaitUntil([&] { return madeAway() >= static_cast<std::size_t>(c.setAsideAfter); }, 60s));
    SetAside(record);
  }
  ASSERT_TRUE(
      WaitUntil([&] { return madeAway() >= static_cast<std::size_t>(c.readingsAway); }, 90s));
  first->Kill();
  first.reset();

  Cli second(arguments, QString::fromStdString(record));
  ASSERT_TRUE(second.WaitForLines(2, 10s)) << second.Err();
  ASSERT_TRUE(broker.Start());
  ASSERT_TRUE(WaitUntil(
      [&] {
        const std::vector<std::string> recorded = RecordedTimes(record, sim.Path());
        return FirstOfEach(ArrivedTimes(subscriber)).size() >= recorded.size();
      },
      60s))
      << second.Err();
  second.Signal(SIGTERM);
  ASSERT_EQ(second.Finish(15s), 0) << second.Err();

  const std::vector<std::string> recorded = RecordedTimes(record, sim.Path());
  const std::vector<std::string> arrived = ArrivedTimes(subscriber);
  EXPECT_GE(recorded.size(), static_cast<std::size_t>(3 + c.readingsAway));
  EXPECT_EQ(FirstOfEach(arrived), recorded);
  EXPECT_LE(arrived.size() - FirstOfEach(arrived).size(), gateway::kMqttInFlightLimit);
  EXPECT_NE(second.Err().find("readings and alarms of the record not yet acknowledged"),
            std::string::npos)
      << second.Err();
  if (c.setAsideAfter > 0) {
    EXPECT_TRUE(QFile::exists(Record::OldFilePath(QString::fromStdString(record), 1)));
  }
}

INSTANTIATE_TEST_SUITE_P(Outages, WatchRestart,
                         ::testing::Values(RestartCase{"RecordAsItWas", 30, 0},
                                           RestartCase{"RecordSetAside", 20, 8}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace karvello
