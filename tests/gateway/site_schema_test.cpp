// The site's messages as a subscriber gets them: the topic of each reading and alarm, and their
// payloads to the byte (the value as the detector gave it, as --format json prints it).

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <algorithm>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "gateway/site_schema.h"

namespace karvello::gateway {
namespace {

const QDateTime kWhen = QDateTime::fromString("2026-12-07T18:04:06.123+08:00", Qt::ISODateWithMs);

Outcome Answered(Operation operation, std::optional<Reading> value) {
  Outcome outcome;
  outcome.operation = operation;
  outcome.result = value ? Result::kAnswered : Result::kNoReply;
  outcome.value = value;
  return outcome;
}

struct ReadingCase {
  const char* name;
  Operation operation;
  int address;
  std::optional<Reading> value;
  const char* topic;    // nullptr: not published
  const char* payload;  // after the time and the port
};

class SiteReading : public ::testing::TestWithParam<ReadingCase> {};

TEST_P(SiteReading, GoesToItsTopicAsTheCommandLinePrintsIt) {
  const ReadingCase& c = GetParam();
  const SiteSchema schema("site1");
  const std::optional<SiteMessage> message =
      schema.ReadingMessage(Answered(c.operation, c.value), c.address, "COM1", kWhen);
  if (!c.topic) {
    EXPECT_FALSE(message) << message->topic;
    return;
  }
  ASSERT_TRUE(message);
  EXPECT_EQ(message->topic, c.topic);
  EXPECT_EQ(
      message->payload.toStdString(),
      std::string("{\"time\":\"2026-12-07T18:04:06.123+08:00\",\"port\":\"COM1\",") + c.payload);
}

INSTANTIATE_TEST_SUITE_P(
    Readings, SiteReading,
    ::testing::Values(
        ReadingCase{"TwoDecimalsKept", Operation::kQueryResistance, 3, Reading{3450, 2, false},
                    "karvello/site1/3/resistance",
                    "\"address\":3,\"operation\":\"resistance\",\"result\":\"answered\","
                    "\"value\":34.50,\"over_range\":false,\"unit\":\"Ω\"}"},
        ReadingCase{"OverRange", Operation::kReadResistance, 255, Reading{0, 0, true},
                    "karvello/site1/255/resistance",
                    "\"address\":255,\"operation\":\"read-resistance\",\"result\":\"answered\","
                    "\"value\":null,\"over_range\":true,\"unit\":\"Ω\"}"},
        ReadingCase{"Volts", Operation::kQueryVoltage, 1, Reading{220, 0, false},
                    "karvello/site1/1/voltage",
                    "\"address\":1,\"operation\":\"voltage\",\"result\":\"answered\","
                    "\"value\":220,\"over_range\":false,\"unit\":\"V\"}"},
        ReadingCase{"NoReplyHasNullAndNoUnit", Operation::kQueryVoltage, 1, std::nullopt,
                    "karvello/site1/1/voltage",
                    "\"address\":1,\"operation\":\"voltage\",\"result\":\"no-reply\","
                    "\"value\":null,\"over_range\":false,\"unit\":\"\"}"},
        ReadingCase{"AddressZero", Operation::kQueryVoltage, 0, Reading{220}, nullptr, ""},
        ReadingCase{"Address256", Operation::kQueryVoltage, 256, Reading{220}, nullptr, ""},
        ReadingCase{"AddressMinusOne", Operation::kQueryVoltage, -1, Reading{220}, nullptr, ""},
        ReadingCase{"NorIsTheAddressesQuery", Operation::kQueryAddress, 2, Reading{2}, nullptr, ""},
        ReadingCase{"NorItsSetting", Operation::kSetAddress, 2, Reading{2}, nullptr, ""},
        ReadingCase{"AnAddressIsNoReading", Operation::kReadAddress, 3, Reading{3}, nullptr, ""},
        ReadingCase{"NorIsAStart", Operation::kStartMeasurement, 3, std::nullopt, nullptr, ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SiteAlarm, CarriesTheReadingAsTheDetectorGaveItTheLimitAndTheKind) {
  const SiteSchema schema("site1", "plant/north");
  const Outcome silent = Answered(Operation::kQueryVoltage, std::nullopt);
  const struct {
    const char* name;
    AlarmChange change;
    const char* payload;  // after the time and the address
  } cases[] = {
      {"a limit's raised",
       {Answered(Operation::kQueryResistance, Reading{4150, 2}), 2, true, 40.5, kWhen},
       "\"state\":\"raised\",\"value\":41.50,\"over_range\":false,\"limit\":40.5,"
       "\"kind\":\"resistance-limit\",\"standing\":true}"},
      {"a limit's cleared while the detector is silent",
       {Answered(Operation::kQueryResistance, Reading{150, 1}), 2, false, 40.5, kWhen,
        AlarmKind::kResistanceLimit, true},
       "\"state\":\"cleared\",\"value\":15.0,\"over_range\":false,\"limit\":40.5,"
       "\"kind\":\"resistance-limit\",\"standing\":true}"},
      {"no answer raised",
       {silent, 2, true, 0, kWhen, AlarmKind::kNoAnswer},
       "\"state\":\"raised\",\"value\":null,\"over_range\":false,\"limit\":null,"
       "\"kind\":\"no-answer\",\"standing\":true}"},
      {"no answer cleared by a reading",
       {Answered(Operation::kQueryVoltage, Reading{220}), 2, false, 0, kWhen, AlarmKind::kNoAnswer},
       "\"state\":\"cleared\",\"value\":null,\"over_range\":false,\"limit\":null,"
       "\"kind\":\"no-answer\",\"standing\":false}"},
  };
  for (const auto& c : cases) {
    const SiteMessage message = schema.AlarmMessage(c.change);
    EXPECT_EQ(message.topic, "plant/north/2/alarm") << c.name;
    EXPECT_EQ(message.payload.toStdString(),
              std::string("{\"time\":\"2026-12-07T18:04:06.123+08:00\",\"address\":2,") + c.payload)
        << c.name;
  }
  EXPECT_EQ(schema.StatusTopic(), "plant/north/status");
}

QJsonObject Object(const SiteMessage& message) {
  return QJsonDocument::fromJson(message.payload).object();
}

// Home Assistant's ids of a site's detectors: a name of letters, digits, "_" and "-" is its own
// id (as before); any other keeps its readable part and gains 8 digits of its hash, so that no
// two names share an id and a name keeps its own.
TEST(SiteDiscovery, EachSiteNameGivesIdsOfItsOwn) {
  struct Case {
    const char* site;
    const char* topic;  // of detector 1's voltage; nullptr: any, but its own
  };
  const Case cases[] = {
      {"site1", "homeassistant/sensor/karvello_site1_1_voltage/config"},
      {"Site-2", "homeassistant/sensor/karvello_Site-2_1_voltage/config"},
      {"has_space", "homeassistant/sensor/karvello_has_space_1_voltage/config"},
      {"has space", nullptr},
      {"site-1.north", nullptr},
      {"site-1_north", "homeassistant/sensor/karvello_site-1_north_1_voltage/config"},
      {"站点1", nullptr},
      {"厂区1", nullptr},
      {"站点", nullptr},
      {"厂区", nullptr},
      {"North 站点 1", nullptr},
  };
  const QRegularExpression shape(QStringLiteral(
      "^homeassistant/sensor/karvello_([A-Za-z0-9_-]*_)?[0-9a-f]{8}_1_voltage/config$"));
  std::set<std::string> topics;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.site);
    const SiteMessage message = SiteSchema(c.site).DiscoveryMessage(1, Quantity::kVoltage);
    if (c.topic) {
      EXPECT_EQ(message.topic, c.topic);
    } else {
      EXPECT_TRUE(shape.match(QString::fromStdString(message.topic)).hasMatch()) << message.topic;
    }
    EXPECT_TRUE(topics.insert(message.topic).second) << message.topic << " is another's";
    EXPECT_EQ(SiteSchema(c.site).DiscoveryMessage(1, Quantity::kVoltage).topic, message.topic);
    const std::string entity = Object(message)["default_entity_id"].toString().toStdString();
    EXPECT_EQ(entity, QString::fromStdString(entity).toLower().toStdString());
    EXPECT_EQ(entity.rfind("sensor.karvello_", 0), 0U) << entity;
    EXPECT_EQ(entity.find('-'), std::string::npos) << entity;
  }
  EXPECT_EQ(SiteSchema("站点1").DiscoveryMessage(1, Quantity::kVoltage).topic.substr(0, 32),
            "homeassistant/sensor/karvello_1_");
}

// Each of `fields` as the config of `message` has it (undefined: it has none).
void ExpectFields(const SiteMessage& message,
                  const std::vector<std::pair<const char*, QJsonValue>>& fields) {
  const QJsonObject config = Object(message);
  for (const auto& [key, value] : fields) {
    EXPECT_EQ(config.value(key), value) << key << " in " << message.payload.toStdString();
  }
}

// What Home Assistant is told of each entity (north-1's, its topics under karvello/site1): its
// ids, name, state topic and kinds, the gateway's connection as its availability, its device and
// who made it (the device's maker and version, the messages' origin); each detector's alarm as a
// problem, and the gateway's connection from its status topic.
TEST(SiteDiscovery, DescribesEachEntityAndItsMaker) {
  const SiteSchema schema("north-1", "karvello/site1");
  const SiteMessage voltage = schema.DiscoveryMessage(4, Quantity::kVoltage);
  const SiteMessage resistance = schema.DiscoveryMessage(4, Quantity::kResistance);
  const SiteMessage alarm = schema.AlarmDiscoveryMessage(4);
  const SiteMessage status = schema.StatusDiscoveryMessage();
  EXPECT_EQ(voltage.topic, "homeassistant/sensor/karvello_north-1_4_voltage/config");
  EXPECT_EQ(resistance.topic, "homeassistant/sensor/karvello_north-1_4_resistance/config");
  EXPECT_EQ(alarm.topic, "homeassistant/binary_sensor/karvello_north-1_4_alarm/config");
  EXPECT_EQ(status.topic, "homeassistant/binary_sensor/karvello_north-1_status/config");
  const QJsonObject device{{"identifiers", QJsonArray{"karvello_north-1_4"}},
                           {"name", "Grounding-resistance detector 4 at north-1"},
                           {"model", "Grounding-resistance online detector"},
                           {"manufacturer", "Karvello"},
                           {"sw_version", KARVELLO_VERSION}};
  ExpectFields(voltage, {{"unique_id", "karvello_north-1_4_voltage"},
                         {"default_entity_id", "sensor.karvello_north_1_4_voltage"},
                         {"object_id", QJsonValue::Undefined},
                         {"name", "Voltage"},
                         {"state_topic", "karvello/site1/4/voltage"},
                         {"unit_of_measurement", "V"},
                         {"device_class", "voltage"},
                         {"state_class", "measurement"},
                         {"availability_topic", "karvello/site1/status"},
                         {"payload_available", "online"},
                         {"payload_not_available", "offline"},
                         {"device", device}});
  ExpectFields(
      resistance,
      {{"unique_id", "karvello_north-1_4_resistance"},
       {"default_entity_id", "sensor.karvello_north_1_4_resistance"},
       {"name", "Grounding resistance"},
       {"state_topic", "karvello/site1/4/resistance"},
       {"unit_of_measurement", "Ω"},
       {"device_class", QJsonValue::Undefined},
       {"state_class", "measurement"},
       {"value_template", "{{ value_json.value if value_json.value is number else None }}"},
       {"origin", QJsonObject{{"name", "Karvello"}, {"sw_version", KARVELLO_VERSION}}},
       {"device", device}});
  ExpectFields(alarm, {{"default_entity_id", "binary_sensor.karvello_north_1_4_alarm"},
                       {"state_topic", "karvello/site1/4/alarm"},
                       {"device_class", "problem"},
                       {"value_template",
                        "{{ 'ON' if (value_json.standing if value_json.standing is defined else "
                        "value_json.state == 'raised') else 'OFF' }}"},
                       {"availability_topic", "karvello/site1/status"},
                       {"device", device}});
  ExpectFields(status, {{"state_topic", "karvello/site1/status"},
                        {"device_class", "connectivity"},
                        {"payload_on", "online"},
                        {"payload_off", "offline"},
                        {"availability_topic", QJsonValue::Undefined}});
}

// A site name or prefix is refused at the start, its length and MQTT's limit named, when a topic
// it makes (a resistance at address 255, or its discovery) would pass MQTT's 65535 bytes: the
// longest taken makes topics of exactly that many.
TEST(SiteTopicLimit, LongestSiteAndPrefixAtTheEdge) {
  const struct {
    std::size_t site;
    std::size_t prefix;  // 0: none
    const char* said;    // empty: taken
  } cases[] = {
      {65481, 0, ""},
      {65482, 0,
       "the site name (65482 bytes) makes topics of 65536 bytes: MQTT takes at most 65535"},
      {1, 65520, ""},
      {1, 65521,
       "the topic prefix (65521 bytes) makes topics of 65536 bytes: MQTT takes at most 65535"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.site) + " " + std::to_string(c.prefix));
    const std::string site(c.site, 's');
    const std::string prefix(c.prefix, 'p');
    if (*c.said != 0) {
      try {
        TopicPrefix(site, prefix);
        ADD_FAILURE() << "taken";
      } catch (const std::invalid_argument& error) {
        EXPECT_EQ(std::string(error.what()), c.said);
      }
      continue;
    }
    const SiteSchema schema(site, TopicPrefix(site, prefix));
    const std::size_t longest =
        std::max(schema
                     .ReadingMessage(Answered(Operation::kQueryResistance, std::nullopt), 255,
                                     "/dev/ttyUSB0", kWhen)
                     ->topic.size(),
                 std::max(schema.DiscoveryMessage(255, Quantity::kResistance).topic.size(),
                          schema.AlarmDiscoveryMessage(255).topic.size()));
    EXPECT_EQ(longest, 65535U);
  }
}

// The client id as every broker takes it: "karvello-SITE-PID" while it fits in 23 bytes, else
// the site's first characters and a hash, another for another site or process.
TEST(SiteClientId, FitsWhatBrokersTake) {
  const struct {
    std::string site;
    long long pid;
    std::string id;  // whole, or its beginning before the hash of 8 hexadecimal digits
    bool hashed;
  } cases[] = {
      {"site1", 4321, "karvello-site1-4321", false},
      {"site12", 4194304, "karvello-site12-4194304", false},  // 23 bytes
      {"site123", 4194304, "karvello-site1-", true},          // 24 bytes
      {"变电站", 4321, "karvello-变电站-4321", false},        // 23 bytes
      {"变电站一", 4321, "karvello-_____-", true},
      {std::string(70000, 's'), 4321, "karvello-sssss-", true},
  };
  for (const auto& c : cases) {
    const std::string id = ClientId(c.site, c.pid);
    if (!c.hashed) {
      EXPECT_EQ(id, c.id);
      continue;
    }
    EXPECT_EQ(id.size(), 23U) << id;
    EXPECT_EQ(id.substr(0, c.id.size()), c.id);
    EXPECT_EQ(id.find_first_not_of("0123456789abcdef", c.id.size()), std::string::npos) << id;
  }
  // Another process or another site: another id.
  EXPECT_NE(ClientId(std::string(40, 's'), 1), ClientId(std::string(40, 's'), 2));
  EXPECT_NE(ClientId(std::string(40, 's'), 1), ClientId(std::string(41, 's'), 1));
}

}  // namespace
}  // namespace karvello::gateway
