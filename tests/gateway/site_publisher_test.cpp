// The site's publisher against a real Mosquitto broker on 127.0.0.1: what arrives, retained or not;
// a clean stop and a killed publisher; outages, with and without messages left unacknowledged;
// logins right and wrong; TLS with the test's own CA; the queue's bound; Home Assistant's
// discovery.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>
#include <algorithm>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "engine/operations.h"
#include "gateway/site_publisher.h"
#include "gateway/site_state.h"
#include "present/times.h"
#include "support/child_program.h"
#include "support/event_loop.h"
#include "support/mqtt_broker.h"

// Objects shown as JSON when a check fails.
void PrintTo(const QJsonObject& object, std::ostream* out) {
  *out << QJsonDocument(object).toJson(QJsonDocument::Compact).toStdString();
}

namespace karvello::gateway {
namespace {

using namespace std::chrono_literals;
using testing::MosquittoBroker;
using testing::Received;
using testing::RunFor;
using testing::RunUntil;
using testing::Subscriber;

const std::string kPrefix = "karvello/site1";

// A reading made on /dev/ttyUSB0; `sequence` sets its time, so that each is told apart.
struct Sent {
  Outcome outcome;
  int address;
  QDateTime when;
};

constexpr karvello::Reading kVolts220{220, 0, false};

Sent Reading(int sequence, int address = 1, Operation operation = Operation::kQueryVoltage,
             std::optional<karvello::Reading> value = kVolts220) {
  const QDateTime base = QDateTime::fromString("2026-12-07T18:04:06.000+08:00", Qt::ISODateWithMs);
  Outcome outcome;
  outcome.operation = operation;
  outcome.address = static_cast<std::uint8_t>(address);
  outcome.result = value ? Result::kAnswered : Result::kNoReply;
  outcome.value = value;
  return {outcome, address, base.addMSecs(sequence)};
}

// What a subscriber must find of `sent`: the object of --format json, written out here by hand.
QJsonObject Expected(const Sent& sent) {
  const bool voltage = sent.outcome.operation == Operation::kQueryVoltage;
  const std::optional<karvello::Reading>& value = sent.outcome.value;
  QJsonValue json = QJsonValue::Null;
  if (value && !value->overRange) {
    double number = value->number;
    for (unsigned i = 0; i < value->decimals; ++i) number /= 10;
    json = number;
  }
  return {{"time", QString::fromStdString(TimeText(sent.when))},
          {"port", "/dev/ttyUSB0"},
          {"address", sent.address},
          {"operation", voltage ? "voltage" : "resistance"},
          {"result", value ? "answered" : "no-reply"},
          {"value", json},
          {"over_range", value && value->overRange},
          {"unit", value ? (voltage ? "V" : "Ω") : ""}};
}

QJsonObject Parsed(const Received& message) {
  return QJsonDocument::fromJson(QByteArray::fromStdString(message.payload)).object();
}

// The readings that arrived on `topic`, as objects.
std::vector<QJsonObject> ReadingsOn(const Subscriber& subscriber, const std::string& topic) {
  std::vector<QJsonObject> readings;
  for (const Received& message : subscriber.On(topic)) readings.push_back(Parsed(message));
  return readings;
}

std::vector<QJsonObject> Sequence(int from, int to) {
  std::vector<QJsonObject> readings;
  for (int i = from; i <= to; ++i) readings.push_back(Expected(Reading(i)));
  return readings;
}

std::vector<std::string> Payloads(const std::vector<Received>& messages) {
  std::vector<std::string> payloads;
  for (const Received& message : messages) payloads.push_back(message.payload);
  return payloads;
}

// The site's publisher, with the client's counts at hand and its readings given as Sent.
class Publisher : public SitePublisher {
 public:
  using SitePublisher::SitePublisher;
  bool PublishReading(const Sent& sent) {
    return SitePublisher::PublishReading(sent.outcome, sent.address, "/dev/ttyUSB0", sent.when);
  }
  bool Connected() const { return Client().Connected(); }
  bool Refused() const { return Client().Refused(); }
  std::size_t Queued() const { return Client().Queued(); }
  std::size_t InFlight() const { return Client().InFlight(); }
  std::uint64_t Delivered() const { return Client().Delivered(); }
  std::uint64_t Dropped() const { return Client().Dropped(); }
};

class MqttPublisherTest : public ::testing::Test {
 protected:
  SitePublisherSettings Settings(int port, const char* scheme = "mqtt",
                                 const char* host = "127.0.0.1") {
    SitePublisherSettings settings;
    settings.client.broker =
        ParseMqttUrl(std::string(scheme) + "://" + host + ":" + std::to_string(port));
    settings.site = "site1";
    settings.topicPrefix = kPrefix;
    settings.client.keepAlive = 5s;
    settings.client.firstRetry = 100ms;
    settings.client.lastRetry = 400ms;
    return settings;
  }

  Publisher& Make(const SitePublisherSettings& settings) {
    publisher_ = std::make_unique<Publisher>(settings);
    MqttClient& client = publisher_->Client();
    client.SetOnLog([this](const std::string& line) { log_.push_back(line); });
    client.SetOnRefused([this](const std::string& reason) { refusal_ = reason; });
    client.SetOnStopped([this] { stopped_ = true; });
    return *publisher_;
  }

  // Mosquitto with no logins, started at the first call.
  MosquittoBroker& Broker() {
    if (!broker_) {
      broker_ = std::make_unique<MosquittoBroker>();
      EXPECT_TRUE(broker_->Start());
    }
    return *broker_;
  }

  // The publisher with the usual settings, connected to Broker().
  Publisher& Connected() {
    Publisher& publisher = Make(Settings(Broker().port()));
    EXPECT_TRUE(Connect(publisher));
    return publisher;
  }

  bool Connect(Publisher& publisher) {
    publisher.Start();
    return RunUntil([&] { return publisher.Connected(); }, 5s);
  }

  int Said(const std::string& part) const {
    int lines = 0;
    for (const std::string& line : log_) lines += line.find(part) != std::string::npos;
    return lines;
  }

  std::unique_ptr<MosquittoBroker> broker_;
  std::unique_ptr<Publisher> publisher_;
  std::vector<std::string> log_;
  std::optional<std::string> refusal_;
  bool stopped_ = false;
};

TEST_F(MqttPublisherTest, ReadingsAndAlarmsArriveOnTheirTopicsAndStayRetained) {
  Subscriber live(Broker().port(), {kPrefix + "/#"});
  ASSERT_TRUE(live.WaitSubscribed(1));
  Publisher& publisher = Connected();

  const Sent above = Reading(2, 2, Operation::kQueryResistance, karvello::Reading{4150, 2});
  const AlarmChange raised{
      above.outcome, 2, true, 40,
      QDateTime::fromString("2026-12-07T18:04:06.123+08:00", Qt::ISODateWithMs)};
  const QJsonObject alarm{{"time", "2026-12-07T18:04:06.123+08:00"},
                          {"address", 2},
                          {"state", "raised"},
                          {"value", 41.5},
                          {"over_range", false},
                          {"limit", 40},
                          {"kind", "resistance-limit"},
                          {"standing", true}};
  const std::vector<Sent> readings = {
      Reading(1, 1), above,
      Reading(3, 2, Operation::kQueryResistance, karvello::Reading{0, 0, true}),
      Reading(4, 255, Operation::kQueryVoltage, std::nullopt)};
  std::vector<std::pair<std::string, QJsonObject>> sent = {
      {kPrefix + "/1/voltage", Expected(readings[0])},
      {kPrefix + "/2/resistance", Expected(readings[1])},
      {kPrefix + "/2/resistance", Expected(readings[2])},
      {kPrefix + "/255/voltage", Expected(readings[3])},
      {kPrefix + "/2/alarm", alarm},
  };
  for (const Sent& reading : readings) ASSERT_TRUE(publisher.PublishReading(reading));
  ASSERT_TRUE(publisher.PublishAlarm(raised));
  ASSERT_TRUE(RunUntil([&] { return live.Count() >= 1 + sent.size(); }, 5s));
  EXPECT_TRUE(RunUntil([&] { return publisher.Delivered() == sent.size(); }, 5s));

  const std::vector<Received> got = live.Messages();
  ASSERT_EQ(got.size(), 1 + sent.size());
  EXPECT_EQ(got[0], (Received{kPrefix + "/status", "online", false}));
  for (std::size_t i = 0; i < sent.size(); ++i) {
    EXPECT_EQ(got[1 + i].topic, sent[i].first);
    EXPECT_EQ(Parsed(got[1 + i]), sent[i].second) << got[1 + i].payload;
  }
  EXPECT_EQ(publisher.Queued(), 0u);

  // A subscriber that comes later finds the status and the latest of each topic retained.
  Subscriber later(Broker().port(), {kPrefix + "/#"});
  ASSERT_TRUE(RunUntil([&] { return later.Count() >= 5; }, 5s));
  RunFor(100ms);
  std::vector<Received> retained = later.Messages();
  std::sort(retained.begin(), retained.end(),
            [](const Received& a, const Received& b) { return a.topic < b.topic; });
  ASSERT_EQ(retained.size(), 5u);
  for (const Received& message : retained) EXPECT_TRUE(message.retained) << message.topic;
  EXPECT_EQ(retained[0].topic, kPrefix + "/1/voltage");
  EXPECT_EQ(Parsed(retained[1]), alarm);
  EXPECT_EQ(Parsed(retained[2]), sent[2].second);  // 2/resistance: the later of its two
  EXPECT_EQ(Parsed(retained[3]), sent[3].second);
  EXPECT_EQ(retained[4], (Received{kPrefix + "/status", "online", true}));
}

// A clean stop delivers what is queued, then says "offline" once itself: the broker sends no
// last will after a DISCONNECT, so a second "offline" would mean the connection was dropped.

TEST_F(MqttPublisherTest, CleanStopDeliversTheQueueThenSaysOfflineOnce) {
  Subscriber live(Broker().port(), {kPrefix + "/#"});
  ASSERT_TRUE(live.WaitSubscribed(1));
  Publisher& publisher = Connected();
  for (int i = 1; i <= 50; ++i) publisher.PublishReading(Reading(i));
  publisher.Stop();
  EXPECT_FALSE(publisher.PublishReading(Reading(51)));
  ASSERT_TRUE(RunUntil([&] { return stopped_; }, 5s));
  RunUntil([&] { return live.On(kPrefix + "/status").size() > 2; }, 500ms);

  EXPECT_EQ(ReadingsOn(live, kPrefix + "/1/voltage"), Sequence(1, 50));
  EXPECT_EQ(Payloads(live.On(kPrefix + "/status")),
            (std::vector<std::string>{"online", "offline"}));
  EXPECT_EQ(live.Messages().back().payload, "offline");
  EXPECT_EQ(Said("not delivered"), 0);
  Subscriber later(Broker().port(), {kPrefix + "/status"});
  ASSERT_TRUE(RunUntil([&] { return later.Count() >= 1; }, 5s));
  EXPECT_EQ(later.Messages()[0], (Received{kPrefix + "/status", "offline", true}));
}

// The broker away for ten seconds while readings go on: every reading arrives once, in order,
// the outage said once when it begins and once when it ends.

TEST_F(MqttPublisherTest, BrokerAwayTenSecondsLosesNothingAndRepeatsNothing) {
  Subscriber live(Broker().port(), {kPrefix + "/1/voltage"});
  ASSERT_TRUE(live.WaitSubscribed(1));
  Publisher& publisher = Connected();
  int sequence = 0;
  for (; sequence < 5; ++sequence) publisher.PublishReading(Reading(sequence + 1));
  ASSERT_TRUE(RunUntil([&] { return live.Count() == 5; }, 5s));

  Broker().Stop();
  ASSERT_TRUE(RunUntil([&] { return !publisher.Connected(); }, 5s));
  QTimer readings;  // the watch's rounds, which the retries must never hold up
  QObject::connect(&readings, &QTimer::timeout,
                   [&] { publisher.PublishReading(Reading(++sequence)); });
  readings.start(200ms);
  RunFor(10s);
  readings.stop();
  EXPECT_GE(sequence, 5 + 40);
  EXPECT_FALSE(publisher.Connected());
  EXPECT_EQ(publisher.Queued(), static_cast<std::size_t>(sequence - 5));

  // The broker back; the publisher (its loop held) retries only once the subscriber is in again.
  ASSERT_TRUE(Broker().Start());
  ASSERT_TRUE(live.WaitSubscribed(2));
  for (int i = 0; i < 5; ++i) publisher.PublishReading(Reading(++sequence));
  ASSERT_TRUE(RunUntil([&] { return live.Count() >= static_cast<std::size_t>(sequence); }, 10s));
  RunFor(200ms);
  EXPECT_EQ(ReadingsOn(live, kPrefix + "/1/voltage"), Sequence(1, sequence));
  EXPECT_EQ(Said("lost mqtt://127.0.0.1"), 1);
  EXPECT_EQ(Said("is back after"), 1);
  EXPECT_EQ(publisher.Dropped(), 0u);
}

// Messages sent but never acknowledged when the connection goes are sent again, in order; those
// acknowledged before are not. The broker frozen, the publisher sends at most 20 before an
// acknowledgement; killed, the broker loses all it held unread.

TEST_F(MqttPublisherTest, UnacknowledgedMessagesAreSentAgainAfterTheLoss) {
  Subscriber live(Broker().port(), {kPrefix + "/1/voltage"});
  ASSERT_TRUE(live.WaitSubscribed(1));
  Publisher& publisher = Connected();
  publisher.PublishReading(Reading(1));
  publisher.PublishReading(Reading(2));
  ASSERT_TRUE(RunUntil([&] { return publisher.Delivered() == 2; }, 5s));

  Broker().Freeze();
  for (int i = 3; i <= 27; ++i) publisher.PublishReading(Reading(i));
  RunFor(300ms);
  EXPECT_EQ(publisher.InFlight(), 20u);
  EXPECT_EQ(publisher.Queued(), 25u);
  Broker().Kill();
  ASSERT_TRUE(RunUntil([&] { return !publisher.Connected(); }, 5s));
  EXPECT_EQ(publisher.InFlight(), 0u);
  EXPECT_EQ(publisher.Queued(), 25u);

  ASSERT_TRUE(Broker().Start());
  ASSERT_TRUE(live.WaitSubscribed(2));
  ASSERT_TRUE(RunUntil([&] { return publisher.Delivered() == 27; }, 10s));
  RunUntil([&] { return live.Count() >= 27; }, 2s);
  RunFor(200ms);
  EXPECT_EQ(ReadingsOn(live, kPrefix + "/1/voltage"), Sequence(1, 27));
}

struct QueueCase {
  std::optional<std::size_t> limit;  // none: the default
  int published;
  std::uint64_t dropped;
  int firstDelivered;
};

void PrintTo(const QueueCase& c, std::ostream* out) {
  *out << "limit " << (c.limit ? std::to_string(*c.limit) : "default") << ", " << c.published
       << " published";
}

class MqttQueueBound : public MqttPublisherTest, public ::testing::WithParamInterface<QueueCase> {};

// The broker away from the start: the queue keeps its 10000 newest messages, in order.

TEST_P(MqttQueueBound, KeepsTheNewestInOrder) {
  const QueueCase& c = GetParam();
  MosquittoBroker broker;
  SitePublisherSettings settings = Settings(broker.port());
  if (c.limit) settings.client.queueLimit = *c.limit;
  Publisher& publisher = Make(settings);
  publisher.Start();
  ASSERT_TRUE(RunUntil([&] { return Said("cannot reach") == 1; }, 5s));
  for (int i = 1; i <= c.published; ++i) publisher.PublishReading(Reading(i));
  EXPECT_EQ(publisher.Dropped(), c.dropped);
  EXPECT_EQ(publisher.Queued(), static_cast<std::size_t>(c.published - c.dropped));
  EXPECT_EQ(Said("dropping the oldest"), c.dropped > 0 ? 1 : 0);

  ASSERT_TRUE(broker.Start());
  Subscriber live(broker.port(), {kPrefix + "/1/voltage"});
  ASSERT_TRUE(live.WaitSubscribed(1));
  ASSERT_TRUE(RunUntil([&] { return publisher.Queued() == 0 && publisher.Connected(); }, 30s));
  const auto kept = static_cast<std::size_t>(c.published - c.dropped);
  ASSERT_TRUE(RunUntil([&] { return live.Count() >= kept; }, 10s));
  EXPECT_EQ(ReadingsOn(live, kPrefix + "/1/voltage"), Sequence(c.firstDelivered, c.published));
  EXPECT_EQ(Said(" dropped while it was away (" + std::to_string(c.dropped) + " in all)"),
            c.dropped > 0 ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(Edges, MqttQueueBound,
                         ::testing::Values(QueueCase{{}, 10000, 0, 1}, QueueCase{{}, 10001, 1, 2},
                                           QueueCase{3, 5, 2, 3}));

struct AlarmKeepingCase {
  const char* name;
  std::optional<std::size_t> limit;  // none: the default
  std::string kinds;   // 'r' a reading, 'a' an alarm, published in this order
  int moreReadings;    // readings published after those
  std::vector<int> dropped;  // the indexes of those dropped, all others arriving in order
  std::uint64_t droppedAlarms;
};

void PrintTo(const AlarmKeepingCase& c, std::ostream* out) {
  *out << c.name;
}

class MqttQueueAlarms : public MqttPublisherTest,
                        public ::testing::WithParamInterface<AlarmKeepingCase> {};

// The broker away from the start: a full queue drops its oldest reading and keeps every alarm,
// in their order; from a queue of alarms alone, the oldest alarm, counted and said.
TEST_P(MqttQueueAlarms, KeepsAlarmsAndDropsTheOldestReading) {
  const AlarmKeepingCase& c = GetParam();
  MosquittoBroker broker;
  SitePublisherSettings settings = Settings(broker.port());
  if (c.limit) settings.client.queueLimit = *c.limit;
  Publisher& publisher = Make(settings);
  publisher.Start();
  ASSERT_TRUE(RunUntil([&] { return Said("cannot reach") == 1; }, 5s));
  const std::string kinds = c.kinds + std::string(static_cast<std::size_t>(c.moreReadings), 'r');
  for (std::size_t i = 0; i < kinds.size(); ++i) {
    const Sent sent = Reading(static_cast<int>(i));
    if (kinds[i] == 'r') {
      publisher.PublishReading(sent);
    } else {
      ASSERT_TRUE(publisher.PublishAlarm({sent.outcome, 1, true, 40, sent.when}));
    }
  }
  EXPECT_EQ(publisher.Dropped(), c.dropped.size());
  EXPECT_EQ(publisher.Client().DroppedAlarms(), c.droppedAlarms);
  EXPECT_EQ(Said("holds alarms alone"), c.droppedAlarms > 0 ? 1 : 0);

  ASSERT_TRUE(broker.Start());
  Subscriber live(broker.port(), {kPrefix + "/1/voltage", kPrefix + "/1/alarm"});
  ASSERT_TRUE(live.WaitSubscribed(1));
  const std::size_t kept = kinds.size() - c.dropped.size();
  ASSERT_TRUE(RunUntil([&] { return live.Count() >= kept && publisher.Queued() == 0; }, 30s));
  std::vector<std::string> expected;
  for (std::size_t i = 0; i < kinds.size(); ++i) {
    if (std::find(c.dropped.begin(), c.dropped.end(), static_cast<int>(i)) != c.dropped.end()) {
      continue;
    }
    expected.push_back(std::string(kinds[i] == 'a' ? "alarm " : "voltage ") +
                       TimeText(Reading(static_cast<int>(i)).when));
  }
  std::vector<std::string> arrived;
  for (const Received& message : live.Messages()) {
    const std::string kind = message.topic.substr(message.topic.rfind('/') + 1);
    arrived.push_back(kind + " " + Parsed(message).value("time").toString().toStdString());
  }
  EXPECT_EQ(arrived, expected);
}

std::vector<int> AllBut(int count, int kept) {
  std::vector<int> dropped;
  for (int i = 0; i < count; ++i) {
    if (i != kept) dropped.push_back(i);
  }
  return dropped;
}

INSTANTIATE_TEST_SUITE_P(
    Queues, MqttQueueAlarms,
    ::testing::Values(
        AlarmKeepingCase{"AnAlarmAndReadingsToTheDefaultLimit", {}, "a", 9999, {}, 0},
        AlarmKeepingCase{"AnAlarmAndOneReadingPastIt", {}, "a", 10000, {1}, 0},
        AlarmKeepingCase{"ReadingsBetweenAlarms", 3, "rarar", 0, {0, 2}, 0},
        AlarmKeepingCase{"AlarmsOutlastLaterReadings", 2, "arrrr", 0, AllBut(4, 0), 0},
        AlarmKeepingCase{"AlarmsAlone", 2, "aaa", 0, {0}, 1}),
    [](const auto& info) { return std::string(info.param.name); });

struct LoginCase {
  const char* user;  // "" for none
  const char* password;
  bool accepted;
};

void PrintTo(const LoginCase& c, std::ostream* out) {
  *out << "user '" << c.user << "' password '" << c.password << "'";
}

class MqttLogin : public MqttPublisherTest, public ::testing::WithParamInterface<LoginCase> {};

// A refused login is said with the broker's reason and tried no more; the watch stops on it.
TEST_P(MqttLogin, RightOnePublishesWrongOneIsRefusedForGood) {
  MosquittoBroker broker({.users = {{"gateway", "right-pass"}, {"reader", "reader-pass"}}});
  ASSERT_TRUE(broker.Start());
  Subscriber live(broker.port(), {kPrefix + "/#"}, "reader", "reader-pass");
  ASSERT_TRUE(live.WaitSubscribed(1));
  SitePublisherSettings settings = Settings(broker.port());
  settings.client.broker.user = GetParam().user;
  if (*GetParam().user) settings.client.broker.password = GetParam().password;
  Publisher& publisher = Make(settings);
  publisher.Start();
  ASSERT_TRUE(RunUntil([&] { return publisher.Connected() || refusal_.has_value(); }, 5s));
  if (GetParam().accepted) {
    publisher.PublishReading(Reading(1));
    EXPECT_TRUE(RunUntil([&] { return live.On(kPrefix + "/1/voltage").size() == 1; }, 5s));
    EXPECT_FALSE(refusal_);
    return;
  }
  EXPECT_EQ(*refusal_, "Connection Refused: not authorised.");
  EXPECT_TRUE(publisher.Refused());
  EXPECT_EQ(Said("refused the connection: Connection Refused: not authorised."), 1);
  EXPECT_FALSE(publisher.PublishReading(Reading(1)));
  RunFor(500ms);  // five retry delays: none is tried
  const std::string brokerLog = broker.Log();
  std::size_t refusals = 0;
  for (std::size_t at = brokerLog.find("CONNACK to 127.0.0.1 (0, 5)"); at != std::string::npos;
       at = brokerLog.find("CONNACK to 127.0.0.1 (0, 5)", at + 1)) {
    ++refusals;
  }
  EXPECT_EQ(refusals, 1u) << brokerLog;
}

INSTANTIATE_TEST_SUITE_P(Logins, MqttLogin,
                         ::testing::Values(LoginCase{"gateway", "right-pass", true},
                                           LoginCase{"gateway", "wrong-pass", false},
                                           LoginCase{"nobody", "right-pass", false},
                                           LoginCase{"", "", false}));

enum class Trusted { kTestCa, kSystemCas, kAnotherCa };

struct TlsCase {
  const char* host;
  Trusted trusted;
  bool certificateForAnotherHost;
  const char* failure;  // OpenSSL's reason; none: it connects
};

void PrintTo(const TlsCase& c, std::ostream* out) {
  *out << c.host << (c.certificateForAnotherHost ? ", another host's certificate" : "")
       << (c.failure ? ", refused" : ", taken");
}

class MqttTls : public MqttPublisherTest, public ::testing::WithParamInterface<TlsCase> {};

// The test's CA makes the broker's certificate good for 127.0.0.1 and localhost. A certificate
// that cannot be verified (signed by a CA not trusted, or for another host) is no outage: it is
// said as such with OpenSSL's reason, tried no more, and what was queued said undelivered.
TEST_P(MqttTls, TrustsOnlyACertificateItCanVerify) {
  const TlsCase& c = GetParam();
  MosquittoBroker broker(
      {.users = {}, .tls = true, .tlsForAnotherHost = c.certificateForAnotherHost});
  ASSERT_TRUE(broker.Start());
  Subscriber live(broker.port(), {kPrefix + "/1/voltage"});
  ASSERT_TRUE(live.WaitSubscribed(1));
  SitePublisherSettings settings = Settings(broker.tlsPort(), "mqtts", c.host);
  const testing::TestCertificates& certificates = testing::TestCertificates::Get();
  if (c.trusted == Trusted::kTestCa) settings.client.caFile = certificates.caFile;
  if (c.trusted == Trusted::kAnotherCa) settings.client.caFile = certificates.otherCaFile;
  Publisher& publisher = Make(settings);
  publisher.Start();
  publisher.PublishReading(Reading(1));
  if (!c.failure) {
    EXPECT_TRUE(RunUntil([&] { return live.Count() == 1; }, 5s));
    EXPECT_EQ(ReadingsOn(live, kPrefix + "/1/voltage"), Sequence(1, 1));
    return;
  }
  ASSERT_TRUE(RunUntil([&] { return refusal_.has_value(); }, 5s)) << ::testing::PrintToString(log_);
  EXPECT_EQ(*refusal_, c.failure);
  const std::string url = "mqtts://" + std::string(c.host) + ":" + std::to_string(broker.tlsPort());
  EXPECT_EQ(Said("MQTT: the TLS certificate of " + url +
                 " cannot be verified (TLS verification failed): " + c.failure),
            1)
      << ::testing::PrintToString(log_);
  EXPECT_EQ(Said("readings are kept"), 0);
  RunFor(500ms);  // past several retries' delays: none is made
  EXPECT_TRUE(publisher.Refused());
  EXPECT_EQ(live.Count(), 0u);
  publisher.PublishReading(Reading(2));
  publisher.Stop();
  ASSERT_TRUE(RunUntil([&] { return stopped_; }, 5s));
  EXPECT_EQ(Said("MQTT: 2 messages not delivered to " + url), 1) << ::testing::PrintToString(log_);
}

INSTANTIATE_TEST_SUITE_P(
    Hosts, MqttTls,
    ::testing::Values(TlsCase{"127.0.0.1", Trusted::kTestCa, false, nullptr},
                      TlsCase{"localhost", Trusted::kTestCa, false, nullptr},
                      TlsCase{"127.0.0.1", Trusted::kSystemCas, false,
                              "self-signed certificate in certificate chain"},
                      TlsCase{"127.0.0.1", Trusted::kAnotherCa, false,
                              "self-signed certificate in certificate chain"},
                      TlsCase{"localhost", Trusted::kTestCa, true,
                              "hostname mismatch (the certificate is not for localhost)"},
                      TlsCase{"127.0.0.1", Trusted::kTestCa, true,
                              "hostname mismatch (the certificate is not for 127.0.0.1)"}));

// A listener whose connections the system takes and nobody answers: a broker that has hung.
class MuteListener {
 public:
  MuteListener() {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ::bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    ::listen(fd_, 16);
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size);
    port_ = ntohs(address.sin_port);
  }
  ~MuteListener() { ::close(fd_); }
  int Port() const { return port_; }

 private:
  int fd_ = -1;
  int port_ = 0;
};

// A broker that takes the connection and never answers it is said to have given no CONNACK
// within the time-out, named; it is tried again as through an outage.
TEST_F(MqttPublisherTest, ABrokerThatNeverAnswersIsToldByItsTimeOut) {
  MuteListener mute;
  SitePublisherSettings settings = Settings(mute.Port());
  settings.client.connackTimeout = 500ms;
  Publisher& publisher = Make(settings);
  const auto start = std::chrono::steady_clock::now();
  publisher.Start();
  const std::string said = "MQTT: cannot reach mqtt://127.0.0.1:" + std::to_string(mute.Port()) +
                           " (it did not answer the connection (no CONNACK) within 500 ms); "
                           "readings are kept and sent when it is back";
  ASSERT_TRUE(RunUntil([&] { return Said(said) == 1; }, 3s)) << ::testing::PrintToString(log_);
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_GE(took, 450ms);
  EXPECT_LT(took, 1500ms);
  EXPECT_FALSE(refusal_);
  EXPECT_EQ(kMqttConnackTimeout, 10s);
}

// Home Assistant's entities: the gateway's connection at once, and one config for each detector
// and quantity once it has answered (the resistance with its alarm), sent again when Home
// Assistant says it is online; none for an address that never answered, and none unless asked
// for.
TEST_F(MqttPublisherTest, HomeAssistantDiscoveryForEachDetectorAndAgainWhenItComesOnline) {
  Subscriber live(Broker().port(), {"homeassistant/#", kPrefix + "/#"});
  ASSERT_TRUE(live.WaitSubscribed(1));
  SitePublisherSettings settings = Settings(Broker().port());
  settings.site = "north-1";
  settings.homeAssistant = true;
  Publisher& publisher = Make(settings);
  ASSERT_TRUE(Connect(publisher));
  publisher.PublishReading(Reading(1, 4));
  publisher.PublishReading(Reading(2, 4, Operation::kQueryResistance, karvello::Reading{35, 1}));
  publisher.PublishReading(Reading(3, 4));
  publisher.PublishReading(Reading(4, 5, Operation::kQueryResistance, std::nullopt));
  ASSERT_TRUE(RunUntil([&] { return live.On(kPrefix + "/4/voltage").size() == 2; }, 5s));
  ASSERT_TRUE(RunUntil([&] { return live.On(kPrefix + "/5/resistance").size() == 1; }, 5s));

  const std::string voltageTopic = "homeassistant/sensor/karvello_north-1_4_voltage/config";
  const std::string resistanceTopic = "homeassistant/sensor/karvello_north-1_4_resistance/config";
  const std::string alarmTopic = "homeassistant/binary_sensor/karvello_north-1_4_alarm/config";
  const std::string statusTopic = "homeassistant/binary_sensor/karvello_north-1_status/config";
  for (const std::string& topic : {voltageTopic, resistanceTopic, alarmTopic, statusTopic}) {
    ASSERT_EQ(live.On(topic).size(), 1u) << topic;
  }
  const QJsonObject voltage = Parsed(live.On(voltageTopic)[0]);
  const QJsonObject resistance = Parsed(live.On(resistanceTopic)[0]);
  const QJsonObject alarm = Parsed(live.On(alarmTopic)[0]);
  const std::vector<std::tuple<const QJsonObject*, const char*, QJsonValue>> fields = {
      {&voltage, "unique_id", "karvello_north-1_4_voltage"},
      {&voltage, "default_entity_id", "sensor.karvello_north_1_4_voltage"},
      {&voltage, "name", "Voltage"},
      {&voltage, "state_topic", "karvello/site1/4/voltage"},
      {&voltage, "unit_of_measurement", "V"},
      {&voltage, "device_class", "voltage"},
      {&voltage, "state_class", "measurement"},
      {&voltage, "availability_topic", "karvello/site1/status"},
      {&voltage, "payload_available", "online"},
      {&voltage, "payload_not_available", "offline"},
      {&resistance, "unique_id", "karvello_north-1_4_resistance"},
      {&resistance, "name", "Grounding resistance"},
      {&resistance, "state_topic", "karvello/site1/4/resistance"},
      {&resistance, "unit_of_measurement", "Ω"},
      {&resistance, "device_class", QJsonValue::Undefined},
      {&resistance, "state_class", "measurement"},
      {&resistance, "value_template",
       "{{ value_json.value if value_json.value is number else None }}"},
      {&alarm, "state_topic", "karvello/site1/4/alarm"},
      {&alarm, "device_class", "problem"},
  };
  for (const auto& [config, key, value] : fields) {
    EXPECT_EQ(config->value(key), value) << key << " in " << QJsonDocument(*config).toJson().data();
  }
  for (const QJsonObject* config : {&voltage, &resistance, &alarm}) {
    const QJsonObject device = config->value("device").toObject();
    EXPECT_EQ(device.value("identifiers"), QJsonArray{"karvello_north-1_4"});
    EXPECT_EQ(device.value("name"), "Grounding-resistance detector 4 at north-1");
  }
  EXPECT_EQ(live.On(kPrefix + "/5/resistance").size(), 1u);
  RunFor(100ms);
  for (const Received& message : live.Messages()) {
    EXPECT_EQ(message.topic.find("north-1_5"), std::string::npos) << message.topic;
  }
  Subscriber later(Broker().port(), {"homeassistant/#"});
  ASSERT_TRUE(RunUntil([&] { return later.Count() == 4; }, 5s));
  for (const Received& config : later.Messages()) EXPECT_TRUE(config.retained) << config.topic;

  // Only "online" has them sent again.
  live.Publish("homeassistant/status", "offline");
  live.Publish("homeassistant/status", "online");
  EXPECT_TRUE(RunUntil([&] { return live.On(resistanceTopic).size() == 2; }, 5s));
  RunFor(200ms);
  for (const std::string& topic : {voltageTopic, resistanceTopic, alarmTopic, statusTopic}) {
    ASSERT_EQ(live.On(topic).size(), 2u) << topic;
    EXPECT_EQ(live.On(topic)[1], live.On(topic)[0]);
  }
}

TEST_F(MqttPublisherTest, NoDiscoveryUnlessAskedFor) {
  Subscriber live(Broker().port(), {"homeassistant/#", kPrefix + "/1/voltage"});
  ASSERT_TRUE(live.WaitSubscribed(1));
  Publisher& publisher = Connected();
  publisher.PublishReading(Reading(1));
  // A config would have come before the reading, on the same connection.
  ASSERT_TRUE(RunUntil([&] { return live.Count() == 1; }, 5s));
  EXPECT_EQ(live.Messages()[0].topic, kPrefix + "/1/voltage");
}

// The site's state shows the broker as the client stands: connected, then away with the
// readings made meanwhile waiting.

TEST_F(MqttPublisherTest, ShowsTheBrokerInTheSitesState) {
  Publisher& publisher = Make(Settings(Broker().port()));
  SiteState site("site1");
  publisher.ShowIn(site);
  EXPECT_EQ(site.Snapshot().broker, (BrokerState{true, false, 0, 0}));
  ASSERT_TRUE(Connect(publisher));
  EXPECT_TRUE(RunUntil([&] { return site.Snapshot().broker.connected; }, 3s));
  Broker().Stop();
  ASSERT_TRUE(RunUntil([&] { return !publisher.Connected(); }, 5s));
  publisher.PublishReading(Reading(1));
  publisher.PublishReading(Reading(2));
  EXPECT_EQ(site.Snapshot().broker, (BrokerState{true, false, 2, 0}));
}

// The broker's last will: a publisher killed outright leaves "offline" retained.

TEST_F(MqttPublisherTest, KilledPublisherLeavesTheLastWillOffline) {
  Subscriber live(Broker().port(), {kPrefix + "/status"});
  ASSERT_TRUE(live.WaitSubscribed(1));
  testing::ChildProgram probe(
      MQTT_PROBE_EXECUTABLE,
      {QString::fromStdString("mqtt://127.0.0.1:" + std::to_string(Broker().port())),
       QString::fromStdString(kPrefix)});
  ASSERT_TRUE(probe.WaitForLines(1, 5s)) << probe.Err().toStdString();
  EXPECT_EQ(probe.Out().trimmed().toStdString(), "connected");
  ASSERT_TRUE(RunUntil([&] { return live.Count() == 1; }, 5s));
  probe.Kill();  // SIGKILL
  ASSERT_TRUE(RunUntil([&] { return live.Count() == 2; }, 5s));
  EXPECT_EQ(Payloads(live.Messages()), (std::vector<std::string>{"online", "offline"}));
  Subscriber later(Broker().port(), {kPrefix + "/status"});
  ASSERT_TRUE(RunUntil([&] { return later.Count() == 1; }, 5s));
  EXPECT_EQ(later.Messages()[0], (Received{kPrefix + "/status", "offline", true}));
}

}  // namespace
}  // namespace karvello::gateway
