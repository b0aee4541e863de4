#include "gateway/site_schema.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringDecoder>
#include <QSysInfo>
#include <cstdint>
#include <cstdio>
#include <stdexcept>

#include "gateway/mqtt_client.h"
#include "present/shown_text.h"

namespace karvello::gateway {
namespace {

// What a quantity's sensor is to Home Assistant. It has no device class for a resistance.
struct Sensor {
  Quantity quantity;
  std::string_view entity;
  std::string_view deviceClass;
  std::string_view name() const { return FormOf(quantity).name; }  // the last level of its topic
  std::string_view unit() const { return FormOf(quantity).unit; }
};
constexpr Sensor kVoltage{Quantity::kVoltage, "Voltage", "voltage"};
constexpr Sensor kResistance{Quantity::kResistance, "Grounding resistance", ""};

const Sensor* SensorOf(Quantity quantity) {
  switch (quantity) {
    case Quantity::kVoltage:
      return &kVoltage;
    case Quantity::kResistance:
      return &kResistance;
    case Quantity::kNone:
    case Quantity::kAddress:
      break;
  }
  return nullptr;
}

QByteArray Bytes(const std::string& text) {
  return QByteArray::fromStdString(text);
}

QString Text(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// Home Assistant's ids take letters, digits, "_" and "-" only.
std::string IdOf(std::string_view site) {
  std::string id(site);
  for (char& c : id) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    if (!plain && c != '_' && c != '-') c = '_';
  }
  return id;
}

bool IsUtf8(std::string_view text) {
  QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
  const QString decoded = decoder(QByteArrayView(text.data(), static_cast<qsizetype>(text.size())));
  if (decoder.hasError()) return false;
  // MQTT forbids the control characters U+0080 to U+009F and the non-characters too.
  for (const QChar c : decoded) {
    const char16_t u = c.unicode();
    if ((u >= 0x80 && u <= 0x9F) || u == 0xFFFE || u == 0xFFFF) return false;
  }
  return true;
}

bool HasForbidden(std::string_view text) {
  for (char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F || c == '+' || c == '#') return true;
  }
  return !IsUtf8(text);
}

}  // namespace

std::string DefaultSite() {
  std::string host = QSysInfo::machineHostName().toStdString();
  host = host.substr(0, host.find('.'));
  return host.empty() ? "karvello" : host;
}

std::string TopicPrefix(std::string_view site, std::string_view prefix) {
  const auto refuse = [](const std::string& why) { throw std::invalid_argument(why); };
  if (site.empty()) refuse("the site name is empty");
  if (HasForbidden(site) || site.find('/') != std::string_view::npos) {
    refuse("the site name " + QuotedValue(site) +
           " cannot name MQTT topics: it may not hold \"/\", \"+\", \"#\" or control characters");
  }
  // The longest topics: a resistance at address 255, and Home Assistant's discovery of it.
  const std::size_t discovery = std::string_view("homeassistant/sensor/karvello_").size() +
                                site.size() + std::string_view("_255_resistance/config").size();
  if (discovery > kLongestMqttTopic) {
    refuse("the site name (" + std::to_string(site.size()) + " bytes) makes topics of " +
           std::to_string(discovery) + " bytes: MQTT takes at most " +
           std::to_string(kLongestMqttTopic));
  }
  const auto checkLength = [&](std::string made, const std::string& what) {
    const std::size_t longest = made.size() + std::string_view("/255/resistance").size();
    if (longest > kLongestMqttTopic) {
      refuse(what + " (" + std::to_string(made.size()) + " bytes) makes topics of " +
             std::to_string(longest) + " bytes: MQTT takes at most " +
             std::to_string(kLongestMqttTopic));
    }
    return made;
  };
  if (prefix.empty()) return checkLength("karvello/" + std::string(site), "the site name");
  const std::string shown = "the topic prefix " + QuotedValue(prefix);
  if (HasForbidden(prefix)) {
    refuse(shown + " may not hold \"+\", \"#\" or control characters");
  }
  if (prefix.front() == '$') refuse(shown + " may not begin with \"$\": brokers keep those");
  if (prefix.front() == '/' || prefix.back() == '/' ||
      prefix.find("//") != std::string_view::npos) {
    refuse(shown + " may not have an empty level (a \"/\" at an end, or \"//\")");
  }
  return checkLength(std::string(prefix), "the topic prefix");
}

std::string ClientId(std::string_view site, long long pid) {
  std::string id = "karvello-" + std::string(site) + "-" + std::to_string(pid);
  if (id.size() <= kLongestClientId) return id;
  // FNV-1a of the site and the pid: another site or process, another id.
  std::uint32_t hash = 2166136261U;
  for (const char c : std::string(site) + "-" + std::to_string(pid)) {
    hash = (hash ^ static_cast<unsigned char>(c)) * 16777619U;
  }
  char hex[9];
  std::snprintf(hex, sizeof hex, "%08x", hash);
  std::string readable =
      IdOf(site.substr(0, kLongestClientId - std::string_view("karvello--").size() - 8));
  return "karvello-" + readable + "-" + hex;
}

SiteSchema::SiteSchema(std::string site, std::string prefix)
    : site_(std::move(site)), prefix_(prefix.empty() ? TopicPrefix(site_) : std::move(prefix)) {
  statusTopic_ = prefix_ + "/status";
}

std::optional<SiteMessage> SiteSchema::ReadingMessage(const Outcome& outcome, int address,
                                               std::string_view port,
                                               const QDateTime& when) const {
  const Sensor* sensor = SensorOf(Describe(outcome.operation).quantity);
  if (!sensor || address < 1 || address > 255) return std::nullopt;
  return SiteMessage{prefix_ + "/" + std::to_string(address) + "/" + std::string(sensor->name()),
                     Bytes(JsonObjectText(FieldsOf(outcome, address, port, when)))};
}

SiteMessage SiteSchema::AlarmMessage(const AlarmChange& change) const {
  return {prefix_ + "/" + std::to_string(change.address) + "/alarm",
          Bytes(AlarmMessageText(change))};
}

SiteMessage SiteSchema::DiscoveryMessage(int address, Quantity quantity) const {
  const Sensor& sensor = quantity == Quantity::kVoltage ? kVoltage : kResistance;
  const std::string device = "karvello_" + IdOf(site_) + "_" + std::to_string(address);
  const std::string id = device + "_" + std::string(sensor.name());
  const QString state =
      QString::fromStdString(prefix_ + "/" + std::to_string(address) + "/") + Text(sensor.name());
  QJsonObject config{
      {"unique_id", QString::fromStdString(id)},
      {"object_id", QString::fromStdString(id)},
      {"name", Text(sensor.entity)},
      {"state_topic", state},
      // A failed reading (null) and an over-range one ("OL") leave the sensor unknown; the
      // reading's result and time stay its attributes.
      {"value_template", "{{ value_json.value if value_json.value is number else None }}"},
      {"json_attributes_topic", state},
      {"unit_of_measurement", Text(sensor.unit())},
      {"state_class", "measurement"},
      {"qos", 1},
      {"availability_topic", QString::fromStdString(statusTopic_)},
      {"payload_available", Text(kMqttOnline)},
      {"payload_not_available", Text(kMqttOffline)},
      {"device",
       QJsonObject{
           {"identifiers", QJsonArray{QString::fromStdString(device)}},
           {"name", QString::fromStdString("Grounding-resistance detector " +
                                           std::to_string(address) + " at " + site_)},
           {"model", "Grounding-resistance online detector"},
       }},
  };
  if (!sensor.deviceClass.empty()) config.insert("device_class", Text(sensor.deviceClass));
  return {"homeassistant/sensor/" + id + "/config",
          QJsonDocument(config).toJson(QJsonDocument::Compact)};
}

}  // namespace karvello::gateway
