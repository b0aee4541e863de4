#pragma once
// A watch's readings and alarms published to the broker it names (--mqtt URL, with --mqtt-ca,
// --site, --mqtt-topic and --ha-discovery): the publisher made from the command line and fed by
// the session. A broker that refuses the login ends the watch with kBrokerRefused, the readings
// made until then printed and recorded.

#include <optional>
#include <string>

#include "cli/cli_options.h"
#include "cli/cli_session.h"
#include "gateway/site_publisher.h"

namespace karvello::cli {

// The publisher's settings for `run`. `environmentPassword`: $KARVELLO_MQTT_PASSWORD, the
// password of a URL that gives a user and none. Throws UsageError (one line) for a URL, CA file,
// site or topic prefix that cannot be used.
gateway::SitePublisherSettings WatchMqttSettings(const Invocation& run,
                               const std::optional<std::string>& environmentPassword);

class WatchBroker {
 public:
  // The password from $KARVELLO_MQTT_PASSWORD when the URL has none. Throws UsageError.
  explicit WatchBroker(const Invocation& run);

  // Feeds the session's readings and alarms to the broker and begins connecting; keeps `site`'s
  // broker as it stands, when given.
  void Attach(Session& session, gateway::SiteState* site = nullptr);
  // After the session has ended: waits for the broker to take what is queued (at most
  // gateway::kMqttStopWait), says "offline" and disconnects.
  void Finish();

 private:
  gateway::SitePublisher publisher_;
};

}  // namespace karvello::cli
