#include "gateway/site_schema.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringDecoder>
#include <QSysInfo>
#include <algorithm>
#include <cctype>
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

bool IsPlain(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '-';
}

// Home Assistant's ids take letters, digits, "_" and "-" only. A site named with those alone is
// its own id; any other name gives its readable part (each run of other characters one "_") and
// the first 8 hexadecimal digits of its SHA-1, so that two names never share an id ("has space"
// and "has_space", "站点1" and "厂区1") and a name keeps its id.
// `text` with each byte other than a letter, a digit, "_" and "-" made "_".
std::string PlainBytes(std::string_view text) {
  std::string plain(text);
  for (char& c : plain) c = IsPlain(c) ? c : '_';
  return plain;
}

// The letters, digits, "_" and "-" of `text`, each run of other characters one "_".
std::string ReadablePart(std::string_view text) {
  std::string readable;
  for (const char c : text) {
    if (IsPlain(c)) {
      readable += c;
    } else if (!readable.empty() && readable.back() != '_') {
      readable += '_';
    }
  }
  return readable;
}

std::string IdOf(std::string_view site) {
  if (std::all_of(site.begin(), site.end(), IsPlain)) return std::string(site);
  const std::string readable = ReadablePart(site);
  const QByteArray hash =
      QCryptographicHash::hash(QByteArrayView(site.data(), static_cast<qsizetype>(site.size())),
                               QCryptographicHash::Sha1)
          .toHex()
          .left(8);
  return readable + (readable.empty() || readable.back() == '_' ? "" : "_") + hash.toStdString();
}

// An entity id as Home Assistant takes it: lower case, "_" for "-".
std::string EntityIdOf(std::string_view domain, std::string id) {
  for (char& c : id)
    c = c == '-' ? '_' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return std::string(domain) + "." + id;
}

// Who made the messages, for Home Assistant's device page and its logs.
QJsonObject Origin() {
  return {{"name", "Karvello"}, {"sw_version", KARVELLO_VERSION}};
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
  // The longest topics: a resistance at address 255, and Home Assistant's discovery of its alarm.
  const std::size_t discovery = std::string_view("homeassistant/binary_sensor/karvello_").size() +
                                IdOf(site).size() + std::string_view("_255_alarm/config").size();
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
      PlainBytes(site.substr(0, kLongestClientId - std::string_view("karvello--").size() - 8));
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

std::string SiteSchema::DeviceId(int address) const {
  return "karvello_" + IdOf(site_) + "_" + std::to_string(address);
}

QJsonObject SiteSchema::Device(int address) const {
  return {{"identifiers", QJsonArray{QString::fromStdString(DeviceId(address))}},
          {"name", QString::fromStdString("Grounding-resistance detector " +
                                          std::to_string(address) + " at " + site_)},
          {"model", "Grounding-resistance online detector"},
          {"manufacturer", "Karvello"},
          {"sw_version", KARVELLO_VERSION}};
}

QJsonObject SiteSchema::Available() const {
  return {{"availability_topic", QString::fromStdString(statusTopic_)},
          {"payload_available", Text(kMqttOnline)},
          {"payload_not_available", Text(kMqttOffline)}};
}

SiteMessage SiteSchema::Config(std::string_view domain, const std::string& id,
                               QJsonObject config) const {
  config.insert("unique_id", QString::fromStdString(id));
  config.insert("default_entity_id", QString::fromStdString(EntityIdOf(domain, id)));
  config.insert("origin", Origin());
  return {"homeassistant/" + std::string(domain) + "/" + id + "/config",
          QJsonDocument(config).toJson(QJsonDocument::Compact)};
}

SiteMessage SiteSchema::DiscoveryMessage(int address, Quantity quantity) const {
  const Sensor& sensor = quantity == Quantity::kVoltage ? kVoltage : kResistance;
  const QString state =
      QString::fromStdString(prefix_ + "/" + std::to_string(address) + "/") + Text(sensor.name());
  QJsonObject config = Available();
  config.insert("name", Text(sensor.entity));
  config.insert("state_topic", state);
  // A failed reading (null) and an over-range one ("OL") leave the sensor unknown; the reading's
  // result and time stay its attributes.
  config.insert("value_template", "{{ value_json.value if value_json.value is number else None }}");
  config.insert("json_attributes_topic", state);
  config.insert("unit_of_measurement", Text(sensor.unit()));
  config.insert("state_class", "measurement");
  config.insert("qos", 1);
  config.insert("device", Device(address));
  if (!sensor.deviceClass.empty()) config.insert("device_class", Text(sensor.deviceClass));
  return Config("sensor", DeviceId(address) + "_" + std::string(sensor.name()), config);
}

SiteMessage SiteSchema::AlarmDiscoveryMessage(int address) const {
  QJsonObject config = Available();
  config.insert("name", "Grounding resistance alarm");  // or the detector not answering
  config.insert("state_topic",
                QString::fromStdString(prefix_ + "/" + std::to_string(address) + "/alarm"));
  // On while an alarm of either kind stands (a message of an older gateway: while it is raised).
  config.insert("value_template",
                "{{ 'ON' if (value_json.standing if value_json.standing is defined else "
                "value_json.state == 'raised') else 'OFF' }}");
  config.insert("json_attributes_topic", config.value("state_topic"));
  config.insert("device_class", "problem");
  config.insert("qos", 1);
  config.insert("device", Device(address));
  return Config("binary_sensor", DeviceId(address) + "_alarm", config);
}

SiteMessage SiteSchema::StatusDiscoveryMessage() const {
  const std::string device = "karvello_" + IdOf(site_);
  QJsonObject config{
      {"name", "Gateway"},
      {"state_topic", QString::fromStdString(statusTopic_)},
      {"payload_on", Text(kMqttOnline)},
      {"payload_off", Text(kMqttOffline)},
      {"device_class", "connectivity"},
      {"qos", 1},
      {"device", QJsonObject{{"identifiers", QJsonArray{QString::fromStdString(device)}},
                             {"name", QString::fromStdString("Karvello gateway at " + site_)},
                             {"manufacturer", "Karvello"},
                             {"sw_version", KARVELLO_VERSION}}},
  };
  return Config("binary_sensor", device + "_status", config);
}

}  // namespace karvello::gateway
