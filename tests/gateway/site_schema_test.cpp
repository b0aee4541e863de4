// The site's messages as a subscriber gets them: the topic of each reading and alarm, and their
// payloads to the byte (the value as the detector gave it, as --format json prints it).

#include <gtest/gtest.h>

#include <QDateTime>
#include <optional>
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

}  // namespace
}  // namespace karvello::gateway
