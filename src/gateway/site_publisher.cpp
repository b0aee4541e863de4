#include "gateway/site_publisher.h"

#include <QCoreApplication>

namespace karvello::gateway {
namespace {

MqttClientSettings ClientSettings(const SitePublisherSettings& settings, const SiteSchema& schema) {
  MqttClientSettings client = settings.client;
  client.clientId = ClientId(settings.site, QCoreApplication::applicationPid());
  client.presenceTopic = schema.StatusTopic();
  client.purpose = "publishing under " + schema.Prefix();
  return client;
}

}  // namespace

SitePublisher::SitePublisher(SitePublisherSettings settings)
    : schema_(settings.site, settings.topicPrefix),
      homeAssistant_(settings.homeAssistant),
      client_(ClientSettings(settings, schema_)) {
  client_.SetOnConnected([this] {
    if (!homeAssistant_) return;
    client_.Subscribe(std::string(kHomeAssistantStatusTopic));
    AnnounceAll();
  });
  client_.SetOnMessage([this](const std::string& topic, std::string_view payload) {
    if (homeAssistant_ && topic == kHomeAssistantStatusTopic && payload == kMqttOnline) {
      AnnounceAll();
    }
  });
}

bool SitePublisher::PublishReading(const Outcome& outcome, int address, std::string_view port,
                                   const QDateTime& when) {
  std::optional<SiteMessage> message = schema_.ReadingMessage(outcome, address, port, when);
  if (!message) return false;
  // A detector is announced once it has answered: an address that never did leaves nothing
  // behind in Home Assistant.
  const Quantity quantity = Describe(outcome.operation).quantity;
  if (homeAssistant_ && outcome.result == Result::kAnswered && client_.Accepting() &&
      discovered_.emplace(address, quantity).second && client_.Connected()) {
    Announce(address, quantity);
  }
  const bool queued = client_.Enqueue(std::move(message->topic), std::move(message->payload));
  ShowBroker();
  return queued;
}

bool SitePublisher::PublishAlarm(const AlarmChange& change) {
  if (change.address < 1 || change.address > 255) return false;
  SiteMessage message = schema_.AlarmMessage(change);
  const bool queued = client_.Enqueue(std::move(message.topic), std::move(message.payload));
  ShowBroker();
  return queued;
}

void SitePublisher::ShowIn(SiteState& state) {
  state_ = &state;
  ShowBroker();
  stateTimer_.setInterval(std::chrono::seconds(1));
  QObject::connect(&stateTimer_, &QTimer::timeout, [this] { ShowBroker(); });
  stateTimer_.start();
}

void SitePublisher::ShowBroker() {
  if (!state_) return;
  state_->SetBroker({true, client_.Connected(), client_.Queued(), client_.Dropped()});
}

void SitePublisher::Announce(int address, Quantity quantity) {
  const SiteMessage sensor = schema_.DiscoveryMessage(address, quantity);
  client_.PublishDirect(sensor.topic, sensor.payload);
  if (quantity != Quantity::kResistance) return;
  const SiteMessage alarm = schema_.AlarmDiscoveryMessage(address);
  client_.PublishDirect(alarm.topic, alarm.payload);
}

void SitePublisher::AnnounceAll() {
  const SiteMessage status = schema_.StatusDiscoveryMessage();
  client_.PublishDirect(status.topic, status.payload);
  for (const auto& [address, quantity] : discovered_) Announce(address, quantity);
}

}  // namespace karvello::gateway
