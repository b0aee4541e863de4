#include "cli/watch_broker.h"

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

WatchBroker::WatchBroker(const Invocation& run)
    : publisher_(WatchMqttSettings(run, EnvironmentPassword())) {
  publisher_.Client().SetOnLog(
      [](const std::string& line) { std::fprintf(stderr, "karvello-cli: %s\n", line.c_str()); });
}

void WatchBroker::Attach(Session& session, gateway::SiteState* site) {
  if (site) publisher_.ShowIn(*site);
  session.SetOnReading(
      [this](const Outcome& outcome, int address, std::string_view port, const QDateTime& when) {
        publisher_.PublishReading(outcome, address, port, when);
      });
  session.SetOnAlarm([this](const AlarmChange& change) { publisher_.PublishAlarm(change); });
  // The publisher has said why on standard error.
  publisher_.Client().SetOnRefused([&session](const std::string&) { session.End(kBrokerRefused); });
  publisher_.Start();
}

void WatchBroker::Finish() {
  QEventLoop loop;
  bool stopped = false;
  publisher_.Client().SetOnStopped([&] {
    stopped = true;
    loop.quit();
  });
  publisher_.Stop();
  if (!stopped) loop.exec();
}

}  // namespace karvello::cli
