#pragma once
// A watch's readings and alarms published to the broker it names (--mqtt URL, with --mqtt-ca,
// --site, --mqtt-topic and --ha-discovery), where this build has MQTT (watch_broker.cpp; without
// it, watch_broker_none.cpp). A broker that refuses the login ends the watch with
// kBrokerRefused, the readings made until then printed and recorded.

#include <cstdint>
#include <memory>

#include "cli/cli_options.h"
#include "cli/cli_session.h"

namespace karvello::gateway {
class SiteState;
}

namespace karvello::cli {

class WatchBroker {
 public:
  virtual ~WatchBroker() = default;
  // Feeds the session's readings and alarms to the broker and begins connecting; keeps `site`'s
  // broker as it stands, when given.
  virtual void Attach(Session& session, gateway::SiteState* site) = 0;
  // After the session has ended: waits for the broker to take what is queued (at most
  // gateway::kMqttStopWait), says "offline" and disconnects.
  virtual void Finish() = 0;
  // After Finish: the messages the broker never acknowledged (never reached, or not back in
  // time), said on standard error.
  virtual std::uint64_t Undelivered() const = 0;
};

// The broker `run` names; none without --mqtt. The password from $KARVELLO_MQTT_PASSWORD when
// the URL has none. Throws UsageError (one line) for a URL, CA file, site or topic prefix that
// cannot be used, and for --mqtt in a build without MQTT.
std::unique_ptr<WatchBroker> MakeWatchBroker(const Invocation& run);

}  // namespace karvello::cli
