// The site's messages as a subscriber gets them: the topic of each reading and alarm, and their
// payloads to the byte (the value as the detector gave it, as --format json prints it).

#include <gtest/gtest.h>

#include <QDateTime>
#include <algorithm>
#include <optional>
#include <stdexcept>
#include <string>

#include "gateway/site_schema.h"

namespace karvello::gateway {
namespace {

const QDateTime kWhen =
    QDateTime::fromString("2026-12-07T18:04:06.123+08:00", Qt::ISODateWithMs);

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

void PrintTo(const ReadingCase& c, std::ostream* out) {
  *out << c.name;
}

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
  EXPECT_EQ(message->payload.toStdString(),
            std::string("{\"time\":\"2026-12-07T18:04:06.123+08:00\",\"port\":\"COM1\",") +
                c.payload);
}

INSTANTIATE_TEST_SUITE_P(
    Readings, SiteReading,
    ::testing::Values(
        ReadingCase{"TwoDecimalsKept", Operation::kQueryResistance, 3, Reading{3450, 2, false},
                    "karvello/site1/3/resistance",
                    "\"address\":3,\"operation\":\"resistance\",\"result\":\"answered\","
                    "\"value\":34.50,\"unit\":\"Ω\"}"},
        ReadingCase{"OverRange", Operation::kReadResistance, 255, Reading{0, 0, true},
                    "karvello/site1/255/resistance",
                    "\"address\":255,\"operation\":\"read-resistance\",\"result\":\"answered\","
                    "\"value\":\"OL\",\"unit\":\"Ω\"}"},
        ReadingCase{"Volts", Operation::kQueryVoltage, 1, Reading{220, 0, false},
                    "karvello/site1/1/voltage",
                    "\"address\":1,\"operation\":\"voltage\",\"result\":\"answered\","
                    "\"value\":220,\"unit\":\"V\"}"},
        ReadingCase{"NoReplyHasNullAndNoUnit", Operation::kQueryVoltage, 1, std::nullopt,
                    "karvello/site1/1/voltage",
                    "\"address\":1,\"operation\":\"voltage\",\"result\":\"no-reply\","
                    "\"value\":null,\"unit\":\"\"}"},
        ReadingCase{"AddressZero", Operation::kQueryVoltage, 0, Reading{220}, nullptr, ""},
        ReadingCase{"Address256", Operation::kQueryVoltage, 256, Reading{220}, nullptr, ""},
        ReadingCase{"AnAddressIsNoReading", Operation::kReadAddress, 3, Reading{3}, nullptr, ""},
        ReadingCase{"NorIsAStart", Operation::kStartMeasurement, 3, std::nullopt, nullptr, ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SiteAlarm, CarriesTheReadingAsTheDetectorGaveItAndTheLimit) {
  const SiteSchema schema("site1", "plant/north");
  const AlarmChange raised{Answered(Operation::kQueryResistance, Reading{4150, 2}), 2, true, 40.5,
                           kWhen};
  const SiteMessage message = schema.AlarmMessage(raised);
  EXPECT_EQ(message.topic, "plant/north/2/alarm");
  EXPECT_EQ(message.payload.toStdString(),
            "{\"time\":\"2026-12-07T18:04:06.123+08:00\",\"address\":2,\"state\":\"raised\","
            "\"value\":41.50,\"limit\":40.5}");
  EXPECT_EQ(schema.StatusTopic(), "plant/north/status");
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
      {65483, 0, ""},
      {65484, 0,
       "the site name (65484 bytes) makes topics of 65536 bytes: MQTT takes at most 65535"},
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
                 schema.DiscoveryMessage(255, Quantity::kResistance).topic.size());
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
      {"site12", 4194304, "karvello-site12-4194304", false},   // 23 bytes
      {"site123", 4194304, "karvello-site1-", true},           // 24 bytes
      {"变电站", 4321, "karvello-变电站-4321", false},  // 23 bytes
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
