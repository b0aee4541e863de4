#include "cli/watch_broker.h"

#include "cli/watch_mqtt_settings.h"
#include "gateway/site_state.h"

#include <cstdio>

#include <QEventLoop>
#include <QFileInfo>
#include <cstdlib>
#include <stdexcept>

namespace karvello::cli {
namespace {

std::optional<std::string> EnvironmentPassword() {
  const char* password = std::getenv(gateway::kMqttPasswordVariable);
  if (!password) return std::nullopt;
  return std::string(password);
}

class MqttWatchBroker : public WatchBroker {
 public:
  explicit MqttWatchBroker(const Invocation& run);
  void Attach(Session& session, gateway::SiteState* site) override;
  void Finish() override;

 private:
  gateway::SitePublisher publisher_;
  double limit_ = 0;
};

}  // namespace

gateway::SitePublisherSettings WatchMqttSettings(
    const Invocation& run, const std::optional<std::string>& environmentPassword) {
  gateway::SitePublisherSettings settings;
  try {
    settings.client.broker = gateway::ParseMqttUrl(run.mqttUrl, environmentPassword);
    settings.site = run.site.empty() ? gateway::DefaultSite() : run.site;
    settings.topicPrefix = gateway::TopicPrefix(settings.site, run.mqttTopic);
  } catch (const std::invalid_argument& error) {
    throw UsageError(error.what());
  }
  if (!run.mqttCa.empty()) {
    if (!settings.client.broker.tls) throw UsageError("--mqtt-ca needs an mqtts:// URL");
    const QFileInfo ca(QString::fromStdString(run.mqttCa));
    if (!ca.isFile() || !ca.isReadable()) {
      throw UsageError("--mqtt-ca: cannot read the CA file " + run.mqttCa);
    }
    settings.client.caFile = run.mqttCa;
  }
  settings.homeAssistant = run.haDiscovery;
  return settings;
}

MqttWatchBroker::MqttWatchBroker(const Invocation& run)
    : publisher_(WatchMqttSettings(run, EnvironmentPassword())), limit_(run.alarmAbove.value_or(0)) {
  publisher_.Client().SetOnLog(
      [](const std::string& line) { std::fprintf(stderr, "karvello-cli: %s\n", line.c_str()); });
}

void MqttWatchBroker::Attach(Session& session, gateway::SiteState* site) {
  if (site) publisher_.ShowIn(*site);
  session.SetOnReading(
      [this](const Outcome& outcome, int address, std::string_view port, const QDateTime& when) {
        publisher_.PublishReading(outcome, address, port, when);
      });
  session.SetOnAlarm([this](const AlarmChange& change) { publisher_.PublishAlarm(change); });
  // The publisher has said why on standard error.
  publisher_.Client().SetOnRefused([&session](const std::string&) { session.End(kBrokerRefused); });
  // The record is the outbox: what the broker has not acknowledged is sent after a restart.
  if (!session.RecordPath().isEmpty()) {
    publisher_.UseRecord({session.RecordPath(), session.Port(), limit_, {},
                          [&session] { return session.LastRowKept(); }});
  }
  publisher_.Start();
}

void MqttWatchBroker::Finish() {
  QEventLoop loop;
  bool stopped = false;
  publisher_.Client().SetOnStopped([&] {
    stopped = true;
    loop.quit();
  });
  publisher_.Stop();
  if (!stopped) loop.exec();
}

std::unique_ptr<WatchBroker> MakeWatchBroker(const Invocation& run) {
  if (run.mqttUrl.empty()) return nullptr;
  return std::make_unique<MqttWatchBroker>(run);
}

}  // namespace karvello::cli
