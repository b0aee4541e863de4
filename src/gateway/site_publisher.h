#pragma once
// The site's readings and alarms published to its broker: the site's schema sent by the MQTT
// client, with Home Assistant's discovery when asked for (each detector's sensor announced once
// it has answered, again at each connection and whenever Home Assistant starts).

#include <QDateTime>
#include <QTimer>
#include <set>
#include <string>
#include <string_view>
#include <utility>

#include "engine/outcome.h"
#include "gateway/mqtt_client.h"
#include "gateway/site_schema.h"
#include "gateway/site_state.h"

namespace karvello::gateway {

struct SitePublisherSettings {
  MqttClientSettings client;  // clientId, presenceTopic and purpose are filled in from the site
  std::string site;           // SITE: in the Home Assistant names and ids, and the client id
  std::string topicPrefix;    // PREFIX, as TopicPrefix() makes it; empty: TopicPrefix(site)
  bool homeAssistant = false;
};

class SitePublisher {
 public:
  explicit SitePublisher(SitePublisherSettings settings);

  // Begins connecting, and returns at once.
  void Start() { client_.Start(); }
  // Queues a reading of a voltage or a resistance at `address` (1 to 255) on `port`. False, and
  // nothing queued, for another operation or address, or once stopping or refused.
  bool PublishReading(const Outcome& outcome, int address, std::string_view port,
                      const QDateTime& when);
  // Queues an alarm's change on its address's alarm topic. False once stopping or refused.
  bool PublishAlarm(const AlarmChange& change);
  // Ends cleanly: see MqttClient::Stop.
  void Stop() { client_.Stop(); }

  // Keeps `state`'s broker (connected, messages waiting, dropped) as the client stands: at once,
  // after each message queued, and each second. `state` must outlive the publisher.
  void ShowIn(SiteState& state);

  MqttClient& Client() { return client_; }
  const MqttClient& Client() const { return client_; }
  const SiteSchema& Schema() const { return schema_; }

 private:
  void Announce(int address, Quantity quantity);
  void AnnounceAll();
  void ShowBroker();

  SiteSchema schema_;
  bool homeAssistant_;
  MqttClient client_;
  std::set<std::pair<int, Quantity>> discovered_;  // address, quantity
  SiteState* state_ = nullptr;
  QTimer stateTimer_;
};

}  // namespace karvello::gateway
