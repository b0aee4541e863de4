#include "cli/watch_broker.h"

#include <QEventLoop>
#include <QFileInfo>
#include <cstdlib>
#include <stdexcept>

namespace karvello::cli {
namespace {

std::optional<std::string> EnvironmentPassword() {
  const char* password = std::getenv(kMqttPasswordVariable);
  if (!password) return std::nullopt;
  return std::string(password);
}

}  // namespace

MqttSettings WatchMqttSettings(const Invocation& run,
                               const std::optional<std::string>& environmentPassword) {
  MqttSettings settings;
  try {
    settings.broker = ParseMqttUrl(run.mqttUrl, environmentPassword);
    settings.site = run.site.empty() ? DefaultSite() : run.site;
    settings.topicPrefix = TopicPrefix(settings.site, run.mqttTopic);
  } catch (const std::invalid_argument& error) {
    throw UsageError(error.what());
  }
  if (!run.mqttCa.empty()) {
    if (!settings.broker.tls) throw UsageError("--mqtt-ca needs an mqtts:// URL");
    const QFileInfo ca(QString::fromStdString(run.mqttCa));
    if (!ca.isFile() || !ca.isReadable()) {
      throw UsageError("--mqtt-ca: cannot read the CA file " + run.mqttCa);
    }
    settings.caFile = run.mqttCa;
  }
  settings.homeAssistant = run.haDiscovery;
  return settings;
}

WatchBroker::WatchBroker(const Invocation& run)
    : publisher_(WatchMqttSettings(run, EnvironmentPassword())) {}

void WatchBroker::Attach(Session& session) {
  session.SetOnReading([this](const QJsonObject& reading) { publisher_.PublishReading(reading); });
  session.SetOnAlarm([this](const QJsonObject& alarm) { publisher_.PublishAlarm(alarm); });
  // The publisher has said why on standard error.
  publisher_.SetOnRefused([&session](const std::string&) { session.End(kBrokerRefused); });
  publisher_.Start();
}

void WatchBroker::Finish() {
  QEventLoop loop;
  bool stopped = false;
  publisher_.SetOnStopped([&] {
    stopped = true;
    loop.quit();
  });
  publisher_.Stop();
  if (!stopped) loop.exec();
}

}  // namespace karvello::cli
