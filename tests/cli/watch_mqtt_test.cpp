// karvello-cli watch as the site gateway, run as a program against the simulated detector on a
// pseudo-terminal and a real Mosquitto broker on 127.0.0.1: every reading published as the
// watch prints it, through a broker away for ten seconds; an alarm raised and cleared as the
// detector's resistance changes; a refused login and its status; the options from a file as the
// service gives them.

#include <signal.h>

#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>
#include <chrono>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "cli/watch_mqtt_settings.h"
#include "record/record.h"
#include "sim/simulated_detector.h"
#include "support/cli_process.h"
#include "support/free_port.h"
#include "support/mqtt_broker.h"
#include "waiting_and_times.h"

void PrintTo(const QJsonObject& object, std::ostream* out) {
  *out << QJsonDocument(object).toJson(QJsonDocument::Compact).toStdString();
}

namespace karvello {
namespace {

using namespace std::chrono_literals;
using sim::DetectorConfig;
using sim::SimulatedDetector;
using testing::MosquittoBroker;
using testing::Received;
using testing::ScratchFolder;
using testing::Subscriber;

const std::string kPrefix = "karvello/site1";

// karvello-cli watch of address 1 on `detector`'s line with the options `more`, split at spaces.
QStringList Watch(const SimulatedDetector& detector, const QString& more) {
  return QStringList{"watch", "-p", QString::fromStdString(detector.SlavePath()), "-a", "1"} +
         more.split(' ');
}

std::vector<QJsonObject> Objects(const std::vector<Received>& messages) {
  std::vector<QJsonObject> objects;
  for (const Received& message : messages) {
    objects.push_back(QJsonDocument::fromJson(QByteArray::fromStdString(message.payload)).object());
  }
  return objects;
}

std::vector<std::string> Payloads(const std::vector<Received>& messages) {
  std::vector<std::string> payloads;
  for (const Received& message : messages) payloads.push_back(message.payload);
  return payloads;
}

using cli_test::WaitUntil;

QString Url(int port, const std::string& login = {}) {
  return QString::fromStdString("mqtt://" + login + "127.0.0.1:" + std::to_string(port));
}

QString RecordOf(const ScratchFolder& folder) {
  return QString::fromStdString(folder.File("record.csv"));
}

std::size_t Recorded(const ScratchFolder& folder) {
  return Record::Read(RecordOf(folder), {}).size();
}

// Each case's broker on 127.0.0.1 and its subscriber, once Listen has started them.
class WatchGateway : public ::testing::Test {
 protected:
  // Starts a broker of `setup` and subscribes to `topics` on it as `user`; whether both are done.
  bool Listen(const std::vector<std::string>& topics, const testing::BrokerSetup& setup = {},
              const std::string& user = {}, const std::string& password = {}) {
    broker.emplace(setup);
    if (!broker->Start()) return false;
    live.emplace(broker->port(), topics, user, password);
    return live->WaitSubscribed(1);
  }
  std::optional<MosquittoBroker> broker;
  std::optional<Subscriber> live;
};

// The watch as the service runs it, its options from a file: each reading on its topic as the
// watch printed it, "online" then "offline", the last of each retained for a late subscriber,
// and every reading in the record.
TEST_F(WatchGateway, PublishesEveryReadingAsItPrintsIt) {
  ASSERT_TRUE(Listen({kPrefix + "/#"}));
  SimulatedDetector detector;
  ScratchFolder folder;
  std::ofstream(folder.File("watch-site1.conf"))
      << "# the test's site\n-p " << detector.SlavePath()
      << "\n-a 1\n--every 300ms\n--count 5\n--format json\n--mqtt "
      << Url(broker->port()).toStdString() << "\n--site site1\n";
  Cli watch({"watch", "--config", QString::fromStdString(folder.File("watch-site1.conf"))},
            RecordOf(folder));
  ASSERT_EQ(watch.Finish(15s), 0) << watch.Err();
  const std::vector<QJsonObject> printed = watch.Objects();
  ASSERT_EQ(printed.size(), 5U) << watch.Out();
  EXPECT_EQ(printed[4]["value"].toDouble(), 220.0);
  ASSERT_TRUE(WaitUntil([&] { return live->On(kPrefix + "/status").size() == 2; }, 5s));
  EXPECT_EQ(Objects(live->On(kPrefix + "/1/voltage")), printed);
  EXPECT_EQ(Payloads(live->On(kPrefix + "/status")),
            (std::vector<std::string>{"online", "offline"}));
  EXPECT_EQ(Recorded(folder), 5U);

  Subscriber late(broker->port(), {kPrefix + "/#"});
  ASSERT_TRUE(late.WaitSubscribed(1));
  ASSERT_TRUE(WaitUntil([&] { return late.Count() == 2; }, 5s));
  EXPECT_EQ(late.On(kPrefix + "/status"),
            (std::vector<Received>{{kPrefix + "/status", "offline", true}}));
  const std::vector<Received> last = late.On(kPrefix + "/1/voltage");
  ASSERT_EQ(last.size(), 1U);
  EXPECT_TRUE(last[0].retained);
  EXPECT_EQ(Objects(last)[0], printed.back());
}

// TLS with the test's own CA, given with --mqtt-ca: the readings arrive over the TLS listener.
TEST_F(WatchGateway, PublishesOverTlsTrustingItsCa) {
  ASSERT_TRUE(Listen({kPrefix + "/1/voltage"}, {.users = {}, .tls = true}));
  SimulatedDetector detector;
  Cli watch(Watch(detector, "--every 200ms --count 2 --format json --site site1 --mqtt-ca " +
                                QString::fromStdString(testing::TestCertificates::Get().caFile))
            << "--mqtt"
            << "mqtts://localhost:" + QString::number(broker->tlsPort()));
  ASSERT_EQ(watch.Finish(15s), 0) << watch.Err();
  ASSERT_TRUE(WaitUntil([&] { return live->Count() == 2; }, 5s)) << watch.Err();
  EXPECT_EQ(Objects(live->On(kPrefix + "/1/voltage")), watch.Objects());
}

// Whether the watch's standard error counts the `made` readings of its record as not delivered
// ("1 message", "3 messages"), or, with none made, says nothing of it.
void ExpectUndeliveredSaid(const Cli& watch, std::size_t made) {
  const std::string said = made == 0
                               ? std::string("not delivered")
                               : "MQTT: " + std::to_string(made) +
                                     (made == 1 ? " message" : " messages") + " not delivered to ";
  EXPECT_EQ(watch.Err().find(said) != std::string::npos, made != 0) << watch.Err();
}

// A broker whose TLS certificate cannot be verified ends even a counted watch with the broker's
// status, said as a verification failure with its reason, and the readings not delivered
// counted: retrying would change nothing.
TEST_F(WatchGateway, AnUnverifiableCertificateEndsTheWatchWithTheBrokersStatus) {
  const struct {
    const char* name;
    bool anotherHost;
    std::string ca;
    const char* reason;
  } cases[] = {
      {"another CA", false, testing::TestCertificates::Get().otherCaFile,
       "self-signed certificate in certificate chain"},
      {"another host", true, testing::TestCertificates::Get().caFile,
       "hostname mismatch (the certificate is not for localhost)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    MosquittoBroker tls({.users = {}, .tls = true, .tlsForAnotherHost = c.anotherHost});
    ASSERT_TRUE(tls.Start());
    SimulatedDetector detector;
    ScratchFolder folder;
    const std::string url = "mqtts://localhost:" + std::to_string(tls.tlsPort());
    Cli watch(
        Watch(detector, QString::fromStdString("--every 200ms --count 50 --site site1 --mqtt " +
                                               url + " --mqtt-ca " + c.ca)),
        RecordOf(folder));
    ASSERT_EQ(watch.Finish(15s), 7) << watch.Err();
    EXPECT_NE(watch.Err().find("karvello-cli: MQTT: the TLS certificate of " + url +
                               " cannot be verified (TLS verification failed): " + c.reason + "\n"),
              std::string::npos)
        << watch.Err();
    EXPECT_LT(Recorded(folder), 50U);
    // The refusal may come before the first reading is made: then none is said undelivered.
    ExpectUndeliveredSaid(watch, Recorded(folder));
  }
}

// A watch of counted rounds whose broker was never reached has not done its work: it ends with
// a status of its own, the undelivered messages counted ("1 message" for one); stopped before
// its rounds are done, it ends as asked, with 0. A broker reached takes them all: 0.
TEST_F(WatchGateway, CountedRoundsNotDeliveredEndWithTheirOwnStatus) {
  MosquittoBroker reached;
  ASSERT_TRUE(reached.Start());
  const int nowhere = testing::FreePort();  // nothing listens there
  const struct {
    const char* name;
    int port;
    const char* count;
    bool stop;  // Ctrl-C after the first reading
    int status;
    const char* said;  // on standard error, or none
  } cases[] = {
      {"one round, the broker never reached", nowhere, "1", false, 9, "MQTT: 1 message not"},
      {"three rounds, never reached", nowhere, "3", false, 9, "MQTT: 3 messages not"},
      {"stopped before its rounds", nowhere, "50", true, 0, " not delivered to "},
      {"the broker reached", reached.port(), "2", false, 0, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SimulatedDetector detector;
    Cli watch(Watch(detector, "--every 300ms --site site1 --count " + QString(c.count) +
                                  " --mqtt " + Url(c.port)));
    if (c.stop) {
      ASSERT_TRUE(watch.WaitForLines(1, 10s)) << watch.Err();
      watch.Signal(SIGINT);
    }
    EXPECT_EQ(watch.Finish(15s), c.status) << watch.Err();
    EXPECT_EQ(watch.Err().find(c.said ? c.said : "not delivered") != std::string::npos,
              c.said != nullptr)
        << watch.Err();
  }
}

// A watch killed outright says nothing itself: the broker gives its last will, "offline", retained.
TEST_F(WatchGateway, KilledWatchLeavesTheLastWillOffline) {
  ASSERT_TRUE(Listen({kPrefix + "/status"}));
  SimulatedDetector detector;
  Cli watch(Watch(detector, "--every 10s --site site1 --mqtt " + Url(broker->port())));
  ASSERT_TRUE(WaitUntil([&] { return live->Count() == 1; }, 5s));
  watch.Signal(SIGKILL);
  ASSERT_TRUE(WaitUntil([&] { return live->Count() == 2; }, 5s));
  EXPECT_EQ(live->Messages(), (std::vector<Received>{{kPrefix + "/status", "online", false},
                                                     {kPrefix + "/status", "offline", false}}));
  Subscriber late(broker->port(), {kPrefix + "/status"});
  ASSERT_TRUE(WaitUntil([&] { return late.Count() == 1; }, 5s));
  EXPECT_EQ(late.Messages(), (std::vector<Received>{{kPrefix + "/status", "offline", true}}));
}

// The broker stopped for ten seconds in the middle of a watch and started again: every reading
// the watch printed arrives, in order, none twice.
TEST_F(WatchGateway, BrokerAwayTenSecondsLosesNothingAndRepeatsNothing) {
  ASSERT_TRUE(Listen({kPrefix + "/1/voltage", kPrefix + "/status"}));
  SimulatedDetector detector;
  Cli watch(
      Watch(detector, "--every 500ms --format json --site site1 --mqtt " + Url(broker->port())));
  ASSERT_TRUE(watch.WaitForLines(3, 5s)) << watch.Out();
  broker->Stop();
  const auto away = std::chrono::steady_clock::now();
  while (std::chrono::steady_clock::now() - away < 10s) watch.Lines();
  const int printedAway = watch.Lines(0ms);
  ASSERT_TRUE(broker->Start());
  ASSERT_TRUE(live->WaitSubscribed(2, 15s));
  // The watch tries again on its own back-off, and sends what it kept.
  ASSERT_TRUE(WaitUntil(
      [&] {
        const int printed = watch.Lines(0ms);
        return printed > printedAway + 2 &&
               live->On(kPrefix + "/1/voltage").size() >= static_cast<std::size_t>(printed);
      },
      40s))
      << watch.Out();
  watch.Signal(SIGTERM);
  ASSERT_EQ(watch.Finish(15s), 0) << watch.Err();
  // The broker gives the watch's last will as it stops.
  EXPECT_TRUE(WaitUntil([&] { return live->On(kPrefix + "/status").size() == 4; }, 5s))
      << watch.Err();
  const std::vector<QJsonObject> printed = watch.Objects();
  EXPECT_GE(printed.size(), 3U + 18U);
  EXPECT_EQ(Objects(live->On(kPrefix + "/1/voltage")), printed);
  EXPECT_EQ(Payloads(live->On(kPrefix + "/status")),
            (std::vector<std::string>{"online", "offline", "online", "offline"}));
  EXPECT_NE(watch.Err().find("is back after"), std::string::npos) << watch.Err();
}

// Over a detector whose resistance falls below the limit: raised by the first reading, cleared
// by the second (--alarm-after 1), each a line, a row of the record and a message on the alarm
// topic with the reading's time and value.
TEST_F(WatchGateway, AlarmRaisedAndClearedAsTheResistanceChanges) {
  ASSERT_TRUE(Listen({kPrefix + "/1/alarm"}));
  // 34.5 ohms, done a little before the tool's 19 s, as on a loaded machine.
  SimulatedDetector detector(DetectorConfig{.measurementTime = 18'500ms});
  ScratchFolder folder;
  Cli watch(Watch(detector,
                  "--every 1s --count 2 --resistance --alarm-above 20 --alarm-after 1 "
                  "--format json --site site1 --mqtt " +
                      Url(broker->port())),
            RecordOf(folder));
  ASSERT_TRUE(watch.WaitForLines(2, 30s)) << watch.Out();
  detector.SetResistance(128, 1);  // 12.8 ohms
  ASSERT_EQ(watch.Finish(40s), 0) << watch.Err();
  const std::vector<QJsonObject> printed = watch.Objects();
  ASSERT_EQ(printed.size(), 4U) << watch.Out();
  const auto alarm = [](const QJsonObject& reading, const char* state) {
    return QJsonObject{{"time", reading["time"]},
                       {"address", 1},
                       {"state", state},
                       {"value", reading["value"]},
                       {"over_range", false},
                       {"limit", 20},
                       {"kind", "resistance-limit"},
                       {"standing", std::string_view(state) == "raised"}};
  };
  EXPECT_EQ(printed[0]["value"].toDouble(), 34.5);
  EXPECT_EQ(printed[2]["value"].toDouble(), 12.8);
  EXPECT_EQ(printed[1], (QJsonObject{{"time", printed[0]["time"]},
                                     {"port", QString::fromStdString(detector.SlavePath())},
                                     {"address", 1},
                                     {"operation", "alarm"},
                                     {"result", "raised"},
                                     {"value", 34.5},
                                     {"unit", "Ω"},
                                     {"over_range", false},
                                     {"limit", 20}}));
  EXPECT_EQ(printed[3]["result"].toString(), "cleared");
  ASSERT_TRUE(WaitUntil([&] { return live->Count() == 2; }, 5s));
  EXPECT_EQ(Objects(live->On(kPrefix + "/1/alarm")),
            (std::vector<QJsonObject>{alarm(printed[0], "raised"), alarm(printed[2], "cleared")}));

  // The record: each reading, and each change of the alarm at the time of its reading.
  const std::vector<RecordRow> rows = Record::Read(RecordOf(folder), {});
  std::vector<std::string> recorded;
  for (const RecordRow& row : rows) {
    recorded.push_back(std::string(OperationText(row)) + " " + std::string(ResultText(row)) + " " +
                       ValueText(row) + " " + std::string(UnitText(row)));
  }
  EXPECT_EQ(recorded,
            (std::vector<std::string>{"resistance answered 34.5 Ω", "alarm raised 34.5 Ω",
                                      "resistance answered 12.8 Ω", "alarm cleared 12.8 Ω"}));
  ASSERT_EQ(rows.size(), 4U);
  EXPECT_EQ(rows[1].time, rows[0].time);
}

// An alarm raised when the watch last ran stands when it starts again (the service restarted):
// a reading at or below the limit clears it, so the retained alarm does not stay raised.
TEST_F(WatchGateway, AnAlarmRaisedInTheRecordIsClearedWhenTheWatchStartsAgain) {
  SimulatedDetector detector(DetectorConfig{.resistance = 128, .measurementTime = 18'500ms});
  ScratchFolder folder;
  // 34.5 ohms
  const Outcome reading{Operation::kQueryResistance, 1, {}, {}, Result::kAnswered, Reading{345, 1}};
  ASSERT_TRUE(Record(RecordOf(folder))
                  .Append(RowOf(AlarmChange{reading, 1, true, 20, QDateTime::currentDateTime()},
                                detector.SlavePath())));
  Cli watch(Watch(detector,
                  "--every 1s --count 1 --resistance --alarm-above 20 --alarm-after 1 "
                  "--format json"),
            RecordOf(folder));
  ASSERT_EQ(watch.Finish(40s), 0) << watch.Err();
  const std::vector<QJsonObject> printed = watch.Objects();
  ASSERT_EQ(printed.size(), 2U) << watch.Out();
  EXPECT_EQ(printed[1]["operation"].toString(), "alarm");
  EXPECT_EQ(printed[1]["result"].toString(), "cleared");
  EXPECT_EQ(printed[1]["value"].toDouble(), 12.8);
}

// A broker that checks logins: the password from the URL or from KARVELLO_MQTT_PASSWORD; a wrong
// one ends the watch with status 7 and a line saying why, the readings made recorded.
TEST_F(WatchGateway, WrongPasswordEndsWithItsStatusAndTheReadingsRecorded) {
  ASSERT_TRUE(
      Listen({kPrefix + "/1/voltage"}, {.users = {{"gateway", "right"}}}, "gateway", "right"));
  const struct {
    const char* name;
    std::string login;
    const char* environment;  // KARVELLO_MQTT_PASSWORD, or none
    int status;
    bool noPasswordSaid;  // that no password was given, beside the broker's refusal
  } cases[] = {
      {"the right one from the environment", "gateway@", "right", 0, false},
      {"the URL's own wins", "gateway:right@", "wrong", 0, false},
      {"a wrong one", "gateway:wrong@", nullptr, 7, false},
      {"a wrong one from the environment", "gateway@", "wrong", 7, false},
      {"none", "gateway@", nullptr, 7, true},
  };
  std::size_t published = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SimulatedDetector detector;
    ScratchFolder folder;
    Cli::Options environment;
    if (c.environment) environment.set.emplace_back("KARVELLO_MQTT_PASSWORD", c.environment);
    // Refused, it would read on until stopped: only the refusal ends it.
    Cli watch(Watch(detector, "--every 200ms --site site1 --mqtt " + Url(broker->port(), c.login) +
                                  (c.status == 0 ? " --count 2" : "")),
              RecordOf(folder), environment);
    ASSERT_EQ(watch.Finish(15s), c.status) << watch.Err();
    EXPECT_GE(Recorded(folder), 1U);
    if (c.status == 0) {
      published += 2;
      EXPECT_TRUE(WaitUntil([&] { return live->Count() == published; }, 5s));
    } else {
      EXPECT_NE(watch.Err().find(" refused the connection: Connection Refused: not authorised."),
                std::string::npos)
          << watch.Err();
      // The password is never shown.
      EXPECT_EQ(watch.Err().find("wrong"), std::string::npos) << watch.Err();
      // Every reading recorded went undelivered, and is said so, whether it was made before
      // the broker's refusal came or after.
      ExpectUndeliveredSaid(watch, Recorded(folder));
    }
    EXPECT_EQ(watch.Err().find("no password was given for the user gateway") != std::string::npos,
              c.noPasswordSaid)
        << watch.Err();
    if (c.noPasswordSaid) {
      EXPECT_NE(watch.Err().find("KARVELLO_MQTT_PASSWORD"), std::string::npos) << watch.Err();
    }
  }
  EXPECT_EQ(live->Count(), published);
}

// The CA file of --mqtt-ca: for an mqtts:// URL only, and one that can be read, or bad usage
// before any port is opened.
TEST(WatchMqttSettings, TakeACaFileForTlsOnly) {
  const std::string ca = testing::TestCertificates::Get().caFile;
  cli::Invocation run;
  run.site = "site1";
  const struct {
    std::string url, caFile;
    bool taken;
  } cases[] = {
      {"mqtts://broker.example", ca, true},
      {"mqtt://broker.example", ca, false},
      {"mqtts://broker.example", "/nonexistent/ca.crt", false},
      {"mqtts://broker.example", "/", false},  // a folder
  };
  for (const auto& c : cases) {
    run.mqttUrl = c.url;
    run.mqttCa = c.caFile;
    if (c.taken) {
      EXPECT_EQ(cli::WatchMqttSettings(run, std::nullopt).client.caFile, ca);
    } else {
      EXPECT_THROW(cli::WatchMqttSettings(run, std::nullopt), cli::UsageError) << c.caFile;
    }
  }
}

}  // namespace
}  // namespace karvello
