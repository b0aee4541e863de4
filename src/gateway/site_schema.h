#pragma once
// The site's messages over MQTT: which topic each reading and alarm goes to, what its payload
// is, and how Home Assistant is told of each detector's sensors. Pure: it makes topics and
// payloads, the client sends them.
//
// Topics, under PREFIX ("karvello/SITE" unless set):
//   PREFIX/status                  "online" (retained) once connected; "offline" (retained) from
//                                  a clean stop, or from the broker as the last will when the
//                                  connection is lost
//   PREFIX/ADDRESS/voltage         each reading, the JSON object of --format json (QoS 1,
//   PREFIX/ADDRESS/resistance      retained)
//   PREFIX/ADDRESS/alarm           {"time","address","state","value","over_range","limit","kind",
//                                  "standing"} (QoS 1, retained): kind "resistance-limit" or
//                                  "no-answer"
//   homeassistant/sensor/karvello_SITE_ADDRESS_QUANTITY/config
//   homeassistant/binary_sensor/karvello_SITE_ADDRESS_alarm/config
//   homeassistant/binary_sensor/karvello_SITE_status/config
//                                  Home Assistant's discovery (retained, when asked for): each
//                                  detector's sensor once it has answered for that quantity (the
//                                  alarm with its resistance), the gateway's connectivity, at
//                                  each connection and whenever homeassistant/status says
//                                  "online". SITE is the site's name where it is made of
//                                  letters, digits, "_" and "-" alone; otherwise its readable part
//                                  and 8 hexadecimal digits of its SHA-1.

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "engine/operations.h"
#include "engine/outcome.h"
#include "present/reading_fields.h"

namespace karvello::gateway {

// Home Assistant says it has started (again) with "online" on this topic.
inline constexpr std::string_view kHomeAssistantStatusTopic = "homeassistant/status";

// MQTT's longest topic, in bytes.
inline constexpr std::size_t kLongestMqttTopic = 65535;
// The longest client id every broker takes: MQTT 3.1.1 has a broker take 1 to 23 bytes.
inline constexpr std::size_t kLongestClientId = 23;

// The site's default name: the host name up to its first dot.
std::string DefaultSite();
// PREFIX for `site`, or `prefix` when given. Throws std::invalid_argument (bad usage, one line)
// for a site or prefix that cannot name MQTT topics: empty, not UTF-8, with "+", "#" or a
// control character, a site with "/", a prefix with an empty level or beginning with "$", or
// one that makes a topic longer than kLongestMqttTopic.
std::string TopicPrefix(std::string_view site, std::string_view prefix = {});

// The client id of the site's watch in process `pid`: "karvello-SITE-PID", or when that is
// longer than kLongestClientId, the site's first characters and a hash of the site and the pid
// ("karvello-north-1a2b3c4d").
std::string ClientId(std::string_view site, long long pid);

struct SiteMessage {
  std::string topic;
  QByteArray payload;
};

class SiteSchema {
 public:
  // `prefix` as TopicPrefix() makes it; empty: TopicPrefix(site).
  SiteSchema(std::string site, std::string prefix = {});

  const std::string& Site() const { return site_; }
  const std::string& Prefix() const { return prefix_; }
  // PREFIX/status.
  const std::string& StatusTopic() const { return statusTopic_; }

  // The message of a reading of a voltage or a resistance; none for any other operation (an
  // address, the start of a measurement), which the site does not publish.
  std::optional<SiteMessage> ReadingMessage(const Outcome& outcome, int address,
                                            std::string_view port, const QDateTime& when) const;
  // The message of an alarm's change.
  SiteMessage AlarmMessage(const AlarmChange& change) const;
  // Home Assistant's discovery of the sensor of `quantity` (a voltage or a resistance) at
  // `address`.
  SiteMessage DiscoveryMessage(int address, Quantity quantity) const;
  // Home Assistant's discovery of the resistance alarm at `address`, a problem when raised.
  SiteMessage AlarmDiscoveryMessage(int address) const;
  // Home Assistant's discovery of the gateway's connection, from the status topic.
  SiteMessage StatusDiscoveryMessage() const;

 private:
  std::string DeviceId(int address) const;
  QJsonObject Device(int address) const;
  QJsonObject Available() const;
  SiteMessage Config(std::string_view domain, const std::string& id, QJsonObject config) const;

  std::string site_;
  std::string prefix_;
  std::string statusTopic_;
};

}  // namespace karvello::gateway
