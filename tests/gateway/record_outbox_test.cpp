// The site's publisher with the record as its outbox, against a real Mosquitto broker on
// 127.0.0.1: what a start sends by what the file of the acknowledged place says (nothing there,
// damaged, a place), the place moved only by the broker's acknowledgement, and live readings
// waiting for the replay unless the record lost them.

#include <gtest/gtest.h>

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <memory>
#include <numeric>
#include <string>
#include <vector>

#include "../record/record_rows.h"
#include "publisher_on_broker.h"
#include "record/record.h"

namespace karvello::gateway {
namespace {

const std::string kPort = "/dev/ttyUSB0";
const QDateTime kBase = QDateTime::currentDateTime().addSecs(-3600);

const Outcome kVoltage =
    record_rows::Made(Operation::kQueryVoltage, 1, Result::kAnswered, "", karvello::Reading{220});

// The reading `i` as the watch records it: `i` seconds after kBase.
RecordRow Row(int i) {
  return RowOf(kVoltage, kPort, kBase.addSecs(i));
}

// The readings `from` to `to` - 1, by their `i`.
std::vector<int> Range(int from, int to) {
  std::vector<int> range(static_cast<std::size_t>(to - from));
  std::iota(range.begin(), range.end(), from);
  return range;
}

void WriteFile(const QString& path, const std::string& text) {
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  file.write(text.data(), static_cast<qint64>(text.size()));
}

class Outbox : public ::testing::Test {
 protected:
  Outbox() : record_(Path()) {}

  QString Path() const { return folder_.filePath(QStringLiteral("record.csv")); }

  void Append(int from, int to) {
    for (int i = from; i < to; ++i) ASSERT_TRUE(record_.Append(Row(i)));
  }

  SitePublisher& Make(int port, bool* kept = nullptr, std::size_t queueLimit = kMqttQueueLimit) {
    SitePublisherSettings settings = PublisherSettings(port);
    settings.client.queueLimit = queueLimit;
    publisher_ = std::make_unique<SitePublisher>(settings);
    publisher_->Client().SetOnLog([this](const std::string& line) { log_ += line + "\n"; });
    RecordOutbox outbox{Path(), kPort, 40, {}, {}};
    if (kept) outbox.lastRowKept = [kept] { return *kept; };
    publisher_->UseRecord(std::move(outbox));
    return *publisher_;
  }

  // The reading `i` made live: recorded (unless `recorded` is false), then handed over.
  void Live(int i, bool recorded = true) {
    if (recorded) {
      ASSERT_TRUE(record_.Append(Row(i)));
    }
    publisher_->PublishReading(kVoltage, 1, kPort, kBase.addSecs(i));
  }

  PointFile Point() const { return ReadPointFile(publisher_->PointFilePath()); }

  void WritePoint(const std::string& text) { WriteFile(PointPath(Path(), kPort, kPrefix), text); }

  // The readings that arrived (retained ones given at a subscription aside), by their `i`.
  static std::vector<int> Arrived(const Subscriber& subscriber) {
    std::vector<int> arrived;
    for (const Received& message : subscriber.On(kPrefix + "/1/voltage")) {
      if (message.retained) continue;
      const QString time = QJsonDocument::fromJson(QByteArray::fromStdString(message.payload))
                               .object()
                               .value("time")
                               .toString();
      arrived.push_back(static_cast<int>(
          kBase.secsTo(QDateTime::fromString(time, Qt::ISODateWithMs))));
    }
    return arrived;
  }

  QTemporaryDir folder_;
  Record record_;
  std::unique_ptr<SitePublisher> publisher_;
  std::string log_;
};

struct StartCase {
  const char* name;
  std::string point;  // the file's text; "" none, "row N" the place of row N
  std::vector<int> sent;
  const char* said;
};

class OutboxStart : public Outbox, public ::testing::WithParamInterface<StartCase> {};

TEST_P(OutboxStart, SendsWhatFollowsTheAcknowledgedPlace) {
  const StartCase& c = GetParam();
  MosquittoBroker broker;
  ASSERT_TRUE(broker.Start());
  Subscriber subscriber(broker.port(), {kPrefix + "/1/voltage"});
  ASSERT_TRUE(subscriber.WaitSubscribed(1));
  Append(0, 5);
  if (c.point.starts_with("row ")) {
    WritePoint(PointText(PointOf(Row(std::stoi(c.point.substr(4))))));
  } else if (!c.point.empty()) {
    WritePoint(c.point);
  }
  SitePublisher& publisher = Make(broker.port());
  publisher.Start();
  ASSERT_TRUE(RunUntil([&] { return publisher.Client().Connected() && !publisher.Replaying() &&
                                    publisher.Client().Queued() == 0; },
                       10s));
  RunFor(300ms);
  EXPECT_EQ(Arrived(subscriber), c.sent);
  EXPECT_NE(log_.find(c.said), std::string::npos) << log_;
  // Whatever it sent, the place is the record's last row now.
  const PointFile point = Point();
  ASSERT_EQ(point.state, PointFile::State::kRead) << point.problem;
  EXPECT_EQ(point.point, PointOf(Row(4)));
}

INSTANTIATE_TEST_SUITE_P(
    Places, OutboxStart,
    ::testing::Values(
        StartCase{"FirstStartFromTheRecordsEnd", "", {}, "no acknowledged position kept yet"},
        StartCase{"DamagedAllWithinTheBounds", "karvello-published 1\n", Range(0, 5),
                  "cannot be read"},
        StartCase{"FromTheStart", "karvello-published 1\nstart\n-\n", Range(0, 5),
                  "sending the 5 readings"},
        StartCase{"AfterARow", "row 2", {3, 4}, "sending the 2 readings"}),
    [](const auto& info) { return std::string(info.param.name); });

// The place moves once the broker has acknowledged, never on sending alone.
TEST_F(Outbox, ThePlaceMovesWithTheBrokersAcknowledgementOnly) {
  MosquittoBroker broker;
  ASSERT_TRUE(broker.Start());
  Append(0, 1);
  SitePublisher& publisher = Make(broker.port());
  publisher.Start();
  ASSERT_TRUE(RunUntil([&] { return publisher.Client().Connected(); }, 5s));
  ASSERT_EQ(Point().point, PointOf(Row(0)));
  broker.Freeze();
  for (int i = 1; i <= 3; ++i) Live(i);
  RunFor(500ms);
  EXPECT_EQ(publisher.Client().InFlight(), 3U);
  EXPECT_EQ(Point().point, PointOf(Row(0)));
  broker.Thaw();
  ASSERT_TRUE(RunUntil([&] { return publisher.Client().Queued() == 0; }, 5s));
  EXPECT_EQ(Point().point, PointOf(Row(3)));
}

// While the replay runs (more rows than it queues at a time), a live reading the record kept
// waits for its turn there; one the record lost goes to the queue at once, so that it is not lost
// twice.
TEST_F(Outbox, LiveReadingsFollowTheReplayUnlessTheRecordLostThem) {
  MosquittoBroker broker;  // away at first
  const int batch = static_cast<int>(kReplayBatch);
  const int waiting = batch + 5;
  std::string text = record_rows::kFileStart;  // many rows at once, as a record holds them
  for (int i = 0; i < waiting; ++i) text += CsvLine(Row(i));
  WriteFile(Path(), text);
  WritePoint(PointText(RecordPoint{}));
  bool kept = true;
  SitePublisher& publisher = Make(broker.port(), &kept);
  publisher.Start();
  ASSERT_TRUE(publisher.Replaying());
  EXPECT_EQ(publisher.Client().Queued(), kReplayBatch);
  Live(waiting);
  kept = false;
  Live(waiting + 1, false);
  kept = true;
  Live(waiting + 2);
  ASSERT_TRUE(broker.Start());
  Subscriber subscriber(broker.port(), {kPrefix + "/1/voltage"});
  ASSERT_TRUE(subscriber.WaitSubscribed(1));
  const auto all = static_cast<std::size_t>(waiting + 3);
  ASSERT_TRUE(RunUntil([&] { return !publisher.Replaying() && publisher.Client().Queued() == 0 &&
                                    Arrived(subscriber).size() >= all; },
                       20s));
  Live(waiting + 3);
  ASSERT_TRUE(RunUntil([&] { return Arrived(subscriber).size() >= all + 1; }, 5s));
  std::vector<int> expected = Range(0, batch);
  expected.push_back(waiting + 1);
  for (const int i : Range(batch, waiting + 1)) expected.push_back(i);
  expected.insert(expected.end(), {waiting + 2, waiting + 3});
  EXPECT_EQ(Arrived(subscriber), expected);
}

// Past the queue's bound, what the record kept waits there rather than in memory: nothing is
// dropped, and all of it arrives in order once the broker is back.
TEST_F(Outbox, AFullQueueLeavesTheRestInTheRecordAndDropsNothing) {
  MosquittoBroker broker;  // away at first
  WritePoint(PointText(RecordPoint{}));
  SitePublisher& publisher = Make(broker.port(), nullptr, 5);
  publisher.Start();
  for (int i = 0; i < 5; ++i) Live(i);
  EXPECT_FALSE(publisher.Replaying());
  EXPECT_EQ(publisher.Client().Queued(), 5U);
  for (int i = 5; i < 12; ++i) Live(i);
  EXPECT_TRUE(publisher.Replaying());
  EXPECT_EQ(publisher.Client().Queued(), 5U);
  EXPECT_EQ(publisher.Client().Dropped(), 0U);
  ASSERT_TRUE(broker.Start());
  Subscriber subscriber(broker.port(), {kPrefix + "/1/voltage"});
  ASSERT_TRUE(subscriber.WaitSubscribed(1));
  ASSERT_TRUE(RunUntil([&] { return !publisher.Replaying() && Arrived(subscriber).size() >= 12; },
                       10s));
  Live(12);
  ASSERT_TRUE(RunUntil([&] { return Arrived(subscriber).size() >= 13; }, 5s));
  EXPECT_EQ(Arrived(subscriber), Range(0, 13));
  EXPECT_EQ(publisher.Client().Dropped(), 0U);
}

}  // namespace
}  // namespace karvello::gateway
