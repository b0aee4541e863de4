// The site's publisher against a real Mosquitto broker on 127.0.0.1: what arrives, retained or not;
// a clean stop (a killed one is the watch's own test); outages, with and without messages left
// unacknowledged; logins right and wrong; TLS with the test's own CA; the queue's bound; Home
// Assistant's discovery.

#include <gtest/gtest.h>

#include <QDateTime>
#include <QTimer>
#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "../record/record_rows.h"
#include "gateway/site_state.h"
#include "present/times.h"
#include "publisher_on_broker.h"

namespace karvello::testing {
void PrintTo(const Received& message, std::ostream* out) {
  *out << message.topic << " " << message.payload << (message.retained ? " (retained)" : "");
}
}  // namespace karvello::testing

namespace karvello::gateway {
namespace {

const std::string kVoltage1 = kPrefix + "/1/voltage";
const std::string kStatus = kPrefix + "/status";
// The schema the payloads are checked against (its own tests pin them to the byte).
const SiteSchema kSchema("site1", kPrefix);

// A reading made on /dev/ttyUSB0; `sequence` sets its time, so that each is told apart.
struct Sent {
  Outcome outcome;
  int address;
  QDateTime when;
};

Sent Reading(int sequence, int address = 1, Operation operation = Operation::kQueryVoltage,
             std::optional<karvello::Reading> value = karvello::Reading{220, 0, false}) {
  const QDateTime base = QDateTime::fromString("2026-12-07T18:04:06.000+08:00", Qt::ISODateWithMs);
  return {record_rows::Made(operation, static_cast<std::uint8_t>(address),
                            value ? Result::kAnswered : Result::kNoReply, "", value),
          address, base.addMSecs(sequence)};
}

// What a subscriber must get of `sent`.
Received Message(const Sent& sent, bool retained = false) {
  const SiteMessage message =
      *kSchema.ReadingMessage(sent.outcome, sent.address, "/dev/ttyUSB0", sent.when);
  return {message.topic, message.payload.toStdString(), retained};
}

std::vector<std::string> Payloads(const std::vector<Received>& messages) {
  std::vector<std::string> payloads;
  for (const Received& message : messages) payloads.push_back(message.payload);
  return payloads;
}

// The payloads of the readings `from` to `to` of address 1.
std::vector<std::string> Sequence(int from, int to) {
  std::vector<std::string> payloads;
  for (int i = from; i <= to; ++i) payloads.push_back(Message(Reading(i)).payload);
  return payloads;
}

// The site's publisher with its readings given as Sent.
class Publisher : public SitePublisher {
 public:
  using SitePublisher::SitePublisher;
  bool PublishReading(const Sent& sent) {
    return SitePublisher::PublishReading(sent.outcome, sent.address, "/dev/ttyUSB0", sent.when);
  }
};

class MqttPublisherTest : public ::testing::Test {
 protected:
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

  // A subscriber to `topics` on Broker(), subscribed.
  Subscriber& Listen(const std::vector<std::string>& topics) {
    subscribers_.push_back(std::make_unique<Subscriber>(Broker().port(), topics));
    EXPECT_TRUE(subscribers_.back()->WaitSubscribed(1));
    return *subscribers_.back();
  }

  // What a subscriber that comes later finds retained on `topics`: `count` messages, by topic.
  std::vector<Received> RetainedOn(const std::vector<std::string>& topics, std::size_t count) {
    Subscriber later(Broker().port(), topics);
    EXPECT_TRUE(RunUntil([&] { return later.Count() >= count; }, 5s));
    RunFor(100ms);
    std::vector<Received> retained = later.Messages();
    std::ranges::sort(retained, {}, &Received::topic);
    return retained;
  }

  // The publisher with the usual settings, connected to Broker().
  Publisher& Connected() {
    Publisher& publisher = Make(PublisherSettings(Broker().port()));
    EXPECT_TRUE(Connect(publisher));
    return publisher;
  }

  bool Connect(Publisher& publisher) {
    publisher.Start();
    return RunUntil([&] { return publisher.Client().Connected(); }, 5s);
  }

  int Said(const std::string& part) const {
    return static_cast<int>(std::ranges::count_if(
        log_, [&](const std::string& line) { return line.find(part) != std::string::npos; }));
  }

  std::unique_ptr<MosquittoBroker> broker_;
  std::vector<std::unique_ptr<Subscriber>> subscribers_;
  std::unique_ptr<Publisher> publisher_;
  std::vector<std::string> log_;
  std::optional<std::string> refusal_;
  bool stopped_ = false;
};

TEST_F(MqttPublisherTest, ReadingsAndAlarmsArriveOnTheirTopicsAndStayRetained) {
  Subscriber& live = Listen({kPrefix + "/#"});
  Publisher& publisher = Connected();
  const Sent above = Reading(2, 2, Operation::kQueryResistance, karvello::Reading{4150, 2});
  const AlarmChange raised{
      above.outcome, 2, true, 40,
      QDateTime::fromString("2026-12-07T18:04:06.123+08:00", Qt::ISODateWithMs)};
  const std::vector<std::pair<std::string, Sent>> readings = {
      {kVoltage1, Reading(1, 1)},
      {kPrefix + "/2/resistance", above},
      {kPrefix + "/2/resistance",
       Reading(3, 2, Operation::kQueryResistance, karvello::Reading{0, 0, true})},
      {kPrefix + "/255/voltage", Reading(4, 255, Operation::kQueryVoltage, std::nullopt)}};
  std::vector<Received> sent = {{kStatus, "online", false}};
  for (const auto& [topic, reading] : readings) {
    ASSERT_TRUE(publisher.PublishReading(reading));
    sent.push_back(Message(reading));
    EXPECT_EQ(sent.back().topic, topic);
  }
  ASSERT_TRUE(publisher.PublishAlarm(raised));
  const Received alarm{kPrefix + "/2/alarm", kSchema.AlarmMessage(raised).payload.toStdString(),
                       false};
  sent.push_back(alarm);
  ASSERT_TRUE(RunUntil([&] { return live.Count() >= sent.size(); }, 5s));
  EXPECT_TRUE(RunUntil([&] { return publisher.Client().Delivered() == sent.size() - 1; }, 5s));
  EXPECT_EQ(live.Messages(), sent);
  EXPECT_EQ(publisher.Client().Queued(), 0u);

  // A subscriber that comes later finds the status and the latest of each topic retained.
  const auto retained = [](Received message) {
    message.retained = true;
    return message;
  };
  EXPECT_EQ(RetainedOn({kPrefix + "/#"}, 5), (std::vector<Received>{retained(sent[1]),
                                                                    retained(alarm),
                                                                    retained(sent[3]),
                                                                    retained(sent[4]),
                                                                    {kStatus, "online", true}}));
}

// A clean stop delivers what is queued, then says "offline" once itself: the broker sends no
// last will after a DISCONNECT, so a second "offline" would mean the connection was dropped.
TEST_F(MqttPublisherTest, CleanStopDeliversTheQueueThenSaysOfflineOnce) {
  Subscriber& live = Listen({kPrefix + "/#"});
  Publisher& publisher = Connected();
  for (int i = 1; i <= 50; ++i) publisher.PublishReading(Reading(i));
  publisher.Stop();
  EXPECT_FALSE(publisher.PublishReading(Reading(51)));
  ASSERT_TRUE(RunUntil([&] { return stopped_; }, 5s));
  RunUntil([&] { return live.On(kStatus).size() > 2; }, 500ms);

  EXPECT_EQ(Payloads(live.On(kVoltage1)), Sequence(1, 50));
  EXPECT_EQ(Payloads(live.On(kStatus)), (std::vector<std::string>{"online", "offline"}));
  EXPECT_EQ(live.Messages().back().payload, "offline");
  EXPECT_EQ(Said("not delivered"), 0);
  EXPECT_EQ(RetainedOn({kStatus}, 1), (std::vector<Received>{{kStatus, "offline", true}}));
}

// The broker away for ten seconds while readings go on: every reading arrives once, in order,
// the outage said once when it begins and once when it ends.
TEST_F(MqttPublisherTest, BrokerAwayTenSecondsLosesNothingAndRepeatsNothing) {
  Subscriber& live = Listen({kVoltage1});
  Publisher& publisher = Connected();
  int sequence = 0;
  for (; sequence < 5; ++sequence) publisher.PublishReading(Reading(sequence + 1));
  ASSERT_TRUE(RunUntil([&] { return live.Count() == 5; }, 5s));

  Broker().Stop();
  ASSERT_TRUE(RunUntil([&] { return !publisher.Client().Connected(); }, 5s));
  QTimer readings;  // the watch's rounds, which the retries must never hold up
  QObject::connect(&readings, &QTimer::timeout,
                   [&] { publisher.PublishReading(Reading(++sequence)); });
  readings.start(200ms);
  RunFor(10s);
  readings.stop();
  EXPECT_GE(sequence, 5 + 40);
  EXPECT_FALSE(publisher.Client().Connected());
  EXPECT_EQ(publisher.Client().Queued(), static_cast<std::size_t>(sequence - 5));

  // The broker back; the publisher (its loop held) retries only once the subscriber is in again.
  ASSERT_TRUE(Broker().Start());
  ASSERT_TRUE(live.WaitSubscribed(2));
  for (int i = 0; i < 5; ++i) publisher.PublishReading(Reading(++sequence));
  ASSERT_TRUE(RunUntil([&] { return live.Count() >= static_cast<std::size_t>(sequence); }, 10s));
  RunFor(200ms);
  EXPECT_EQ(Payloads(live.On(kVoltage1)), Sequence(1, sequence));
  EXPECT_EQ(Said("lost mqtt://127.0.0.1"), 1);
  EXPECT_EQ(Said("is back after"), 1);
  EXPECT_EQ(publisher.Client().Dropped(), 0u);
}

// Messages sent but never acknowledged when the connection goes are sent again, in order; those
// acknowledged before are not. The broker frozen, the publisher sends at most 20 before an
// acknowledgement; killed, the broker loses all it held unread.
TEST_F(MqttPublisherTest, UnacknowledgedMessagesAreSentAgainAfterTheLoss) {
  Subscriber& live = Listen({kVoltage1});
  Publisher& publisher = Connected();
  const MqttClient& client = publisher.Client();
  publisher.PublishReading(Reading(1));
  publisher.PublishReading(Reading(2));
  ASSERT_TRUE(RunUntil([&] { return client.Delivered() == 2; }, 5s));

  Broker().Freeze();
  for (int i = 3; i <= 27; ++i) publisher.PublishReading(Reading(i));
  RunFor(300ms);
  EXPECT_EQ(client.InFlight(), 20u);
  EXPECT_EQ(client.Queued(), 25u);
  Broker().Kill();
  ASSERT_TRUE(RunUntil([&] { return !client.Connected(); }, 5s));
  EXPECT_EQ(client.InFlight(), 0u);
  EXPECT_EQ(client.Queued(), 25u);

  ASSERT_TRUE(Broker().Start());
  ASSERT_TRUE(live.WaitSubscribed(2));
  ASSERT_TRUE(RunUntil([&] { return client.Delivered() == 27; }, 10s));
  RunUntil([&] { return live.Count() >= 27; }, 2s);
  RunFor(200ms);
  EXPECT_EQ(Payloads(live.On(kVoltage1)), Sequence(1, 27));
}

struct QueueCase {
  const char* name;
  std::optional<std::size_t> limit;  // none: the default
  std::string kinds;                 // 'r' a reading, 'a' an alarm, published in this order
  std::size_t moreReadings;          // readings published after those
  std::vector<int> dropped;          // the indexes of those dropped, all others arriving in order
  std::uint64_t droppedAlarms;
};

class MqttQueueAlarms : public MqttPublisherTest,
                        public ::testing::WithParamInterface<QueueCase> {};

// The broker away from the start: a full queue drops its oldest reading (said once, and counted
// when the broker is back) and keeps every alarm, in their order; from a queue of alarms alone,
// the oldest alarm, counted and said.
TEST_P(MqttQueueAlarms, KeepsAlarmsAndDropsTheOldestReading) {
  const QueueCase& c = GetParam();
  MosquittoBroker broker;
  SitePublisherSettings settings = PublisherSettings(broker.port());
  if (c.limit) settings.client.queueLimit = *c.limit;
  Publisher& publisher = Make(settings);
  const MqttClient& client = publisher.Client();
  publisher.Start();
  ASSERT_TRUE(RunUntil([&] { return Said("cannot reach") == 1; }, 5s));
  const std::string kinds = c.kinds + std::string(c.moreReadings, 'r');
  std::vector<std::string> expected;
  for (std::size_t i = 0; i < kinds.size(); ++i) {
    const Sent sent = Reading(static_cast<int>(i));
    if (kinds[i] == 'r') {
      publisher.PublishReading(sent);
    } else {
      ASSERT_TRUE(publisher.PublishAlarm({sent.outcome, 1, true, 40, sent.when}));
    }
    if (std::ranges::find(c.dropped, static_cast<int>(i)) == c.dropped.end()) {
      expected.push_back(std::string(kinds[i] == 'a' ? "alarm " : "voltage ") +
                         TimeText(sent.when));
    }
  }
  EXPECT_EQ(client.Dropped(), c.dropped.size());
  EXPECT_EQ(client.DroppedAlarms(), c.droppedAlarms);
  EXPECT_EQ(client.Queued(), expected.size());
  EXPECT_EQ(Said("messages: dropping the oldest until"), c.dropped.empty() ? 0 : 1);
  EXPECT_EQ(Said("holds alarms alone"), c.droppedAlarms > 0 ? 1 : 0);

  ASSERT_TRUE(broker.Start());
  Subscriber live(broker.port(), {kVoltage1, kPrefix + "/1/alarm"});
  ASSERT_TRUE(live.WaitSubscribed(1));
  ASSERT_TRUE(
      RunUntil([&] { return live.Count() >= expected.size() && client.Queued() == 0; }, 30s));
  std::vector<std::string> arrived;
  for (const Received& message : live.Messages()) {
    const std::size_t time = message.payload.find("\"time\":\"") + 8;
    arrived.push_back(message.topic.substr(message.topic.rfind('/') + 1) + " " +
                      message.payload.substr(time, message.payload.find('"', time) - time));
  }
  EXPECT_EQ(arrived, expected);
  EXPECT_EQ(Said(" dropped while it was away (" + std::to_string(c.dropped.size()) + " in all)"),
            c.dropped.empty() ? 0 : 1);
}

INSTANTIATE_TEST_SUITE_P(
    Queues, MqttQueueAlarms,
    ::testing::Values(QueueCase{"AnAlarmAndReadingsToTheDefaultLimit", {}, "a", 9999, {}, 0},
                      QueueCase{"AnAlarmAndOneReadingPastIt", {}, "a", 10000, {1}, 0},
                      QueueCase{"ReadingsAlone", 3, "", 5, {0, 1}, 0},
                      QueueCase{"ReadingsBetweenAlarms", 3, "rarar", 0, {0, 2}, 0},
                      QueueCase{"AlarmsOutlastLaterReadings", 2, "arrrr", 0, {1, 2, 3}, 0},
                      QueueCase{"AlarmsAlone", 2, "aaa", 0, {0}, 1}),
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
  SitePublisherSettings settings = PublisherSettings(broker.port());
  settings.client.broker.user = GetParam().user;
  if (*GetParam().user) settings.client.broker.password = GetParam().password;
  Publisher& publisher = Make(settings);
  publisher.Start();
  ASSERT_TRUE(RunUntil([&] { return publisher.Client().Connected() || refusal_.has_value(); }, 5s));
  if (GetParam().accepted) {
    publisher.PublishReading(Reading(1));
    EXPECT_TRUE(RunUntil([&] { return live.On(kVoltage1).size() == 1; }, 5s));
    EXPECT_FALSE(refusal_);
    return;
  }
  EXPECT_EQ(*refusal_, "Connection Refused: not authorised.");
  EXPECT_TRUE(publisher.Client().Refused());
  EXPECT_EQ(Said("refused the connection: Connection Refused: not authorised."), 1);
  EXPECT_FALSE(publisher.PublishReading(Reading(1)));
  RunFor(500ms);  // five retry delays: none is tried
  const QString brokerLog = QString::fromStdString(broker.Log());
  EXPECT_EQ(brokerLog.count("CONNACK to 127.0.0.1 (0, 5)"), 1) << brokerLog.toStdString();
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
  Subscriber live(broker.port(), {kVoltage1});
  ASSERT_TRUE(live.WaitSubscribed(1));
  SitePublisherSettings settings = PublisherSettings(broker.tlsPort(), "mqtts", c.host);
  const testing::TestCertificates& certificates = testing::TestCertificates::Get();
  if (c.trusted == Trusted::kTestCa) settings.client.caFile = certificates.caFile;
  if (c.trusted == Trusted::kAnotherCa) settings.client.caFile = certificates.otherCaFile;
  Publisher& publisher = Make(settings);
  publisher.Start();
  publisher.PublishReading(Reading(1));
  if (!c.failure) {
    EXPECT_TRUE(RunUntil([&] { return live.Count() == 1; }, 5s));
    EXPECT_EQ(Payloads(live.On(kVoltage1)), Sequence(1, 1));
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
  EXPECT_TRUE(publisher.Client().Refused());
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

// A broker that takes the connection and never answers it (frozen: the system takes the
// connection, nobody reads it) is said to have given no CONNACK within the time-out, named; it is
// tried again as through an outage.
TEST_F(MqttPublisherTest, ABrokerThatNeverAnswersIsToldByItsTimeOut) {
  Broker().Freeze();
  SitePublisherSettings settings = PublisherSettings(Broker().port());
  settings.client.connackTimeout = 500ms;
  Publisher& publisher = Make(settings);
  const auto start = std::chrono::steady_clock::now();
  publisher.Start();
  const std::string said =
      "MQTT: cannot reach mqtt://127.0.0.1:" + std::to_string(Broker().port()) +
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
// and quantity once it has answered (the resistance with its alarm), retained, sent again when
// Home Assistant says it is online; none for an address that never answered, and none unless
// asked for.
TEST_F(MqttPublisherTest, HomeAssistantDiscoveryForEachDetectorAndAgainWhenItComesOnline) {
  Subscriber& live = Listen({"homeassistant/#", kPrefix + "/#"});
  SitePublisherSettings settings = PublisherSettings(Broker().port());
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
  RunFor(100ms);

  const SiteSchema schema("north-1", kPrefix);
  std::vector<Received> configs;
  for (const SiteMessage& config :
       {schema.AlarmDiscoveryMessage(4), schema.StatusDiscoveryMessage(),
        schema.DiscoveryMessage(4, Quantity::kResistance),
        schema.DiscoveryMessage(4, Quantity::kVoltage)}) {
    configs.push_back({config.topic, config.payload.toStdString(), true});
  }
  std::ranges::sort(configs, {}, &Received::topic);
  EXPECT_EQ(RetainedOn({"homeassistant/#"}, 4), configs);
  for (Received& config : configs) config.retained = false;
  const auto announced = [&live](std::size_t from) {
    const std::vector<Received> all = live.Messages();
    std::vector<Received> found;
    std::copy_if(
        all.begin() + static_cast<std::ptrdiff_t>(from), all.end(), std::back_inserter(found),
        [](const Received& message) { return message.topic.starts_with("homeassistant/"); });
    std::ranges::stable_sort(found, {}, &Received::topic);
    return found;
  };
  EXPECT_EQ(announced(0), configs);

  // Only "online" has them sent again.
  const std::size_t before = live.Count();
  live.Publish("homeassistant/status", "offline");
  live.Publish("homeassistant/status", "online");
  EXPECT_TRUE(RunUntil([&] { return live.Count() == before + 2 + 4; }, 5s));
  RunFor(200ms);
  configs.push_back({"homeassistant/status", "offline", false});
  configs.push_back({"homeassistant/status", "online", false});
  EXPECT_EQ(announced(before), configs);
}

TEST_F(MqttPublisherTest, NoDiscoveryUnlessAskedFor) {
  Subscriber& live = Listen({"homeassistant/#", kVoltage1});
  Connected().PublishReading(Reading(1));
  // A config would have come before the reading, on the same connection.
  ASSERT_TRUE(RunUntil([&] { return live.Count() == 1; }, 5s));
  EXPECT_EQ(live.Messages()[0].topic, kVoltage1);
}

// The site's state shows the broker as the client stands: connected, then away with the
// readings made meanwhile waiting.
TEST_F(MqttPublisherTest, ShowsTheBrokerInTheSitesState) {
  Publisher& publisher = Make(PublisherSettings(Broker().port()));
  SiteState site("site1");
  publisher.ShowIn(site);
  EXPECT_EQ(site.Snapshot().broker, (BrokerState{true, false, 0, 0}));
  ASSERT_TRUE(Connect(publisher));
  EXPECT_TRUE(RunUntil([&] { return site.Snapshot().broker.connected; }, 3s));
  Broker().Stop();
  ASSERT_TRUE(RunUntil([&] { return !publisher.Client().Connected(); }, 5s));
  publisher.PublishReading(Reading(1));
  publisher.PublishReading(Reading(2));
  EXPECT_EQ(site.Snapshot().broker, (BrokerState{true, false, 2, 0}));
}

}  // namespace
}  // namespace karvello::gateway
