// karvello-sim's options: each wrong option or combination refused with a message that names it,
// and the bounds of the numbers at their edges.

#include "sim/sim_options.h"

#include <gtest/gtest.h>

#include <QCommandLineParser>
#include <QStringList>
#include <optional>
#include <string>
#include <utility>

namespace karvello::sim {
namespace {

// The setup that `options` give, or the message of their refusal.
struct Read {
  std::optional<Setup> setup;
  std::string refusal;
};
Read ReadOptions(const QStringList& options) {
  QCommandLineParser parser;
  AddSimOptions(parser);
  if (!parser.parse(QStringList{QStringLiteral("karvello-sim")} + options)) {
    return {std::nullopt, parser.errorText().toStdString()};
  }
  try {
    return {ReadSimOptions(parser), {}};
  } catch (const UsageError& e) {
    return {std::nullopt, e.message};
  }
}

TEST(SimOptions, RefusesEachWrongOptionWithAMessageThatNamesIt) {
  // The options (split at blanks) and what the refusal says.
  const std::pair<const char*, const char*> cases[] = {
      {"--address 0", "--address takes a whole number from 1 to 255"},
      {"--address 256", "--address takes a whole number from 1 to 255"},
      {"--address 5x", "--address takes a whole number from 1 to 255"},
      {"--voltage 65536", "--voltage takes a whole number from 0 to 65535"},
      {"--measure-ms -1", "--measure-ms takes a whole number"},
      {"--fault smoke", "unknown kind \"smoke\""},
      {"--fault extra --extra-bytes 0G", "\"0G\" is not a number"},
      {"--fault split --split-after ,", "--split-after needs at least one number"},
      {"--truncate-by 2", "--truncate-by needs --fault"},
      {"--stray-bytes 00", "--stray-bytes needs --fault"},
      {"--fault stray --stray-bytes 100", "\"100\" is not a number from 0 to 255"},
      {"--fault pause --pause-after 0", "--pause-after takes a whole number"},
      {"--fault echo --fault-times 1", "--fault-times does not apply to echo"},
      {"--colour", "Unknown option 'colour'"},
      {"--bus 3,256", "--bus: \"256\" is not a number from 1 to 255"},
      {"--bus 3 --address 3", "--address and --bus"},
      {"--bus 3,7 --fault-at 50:bad-crc", "--fault-at: no detector at address 50"},
      {"--bus 3,7 --stray-at 7", "--stray-at takes ADDRESS:..."},
      {"--fault-at 1:echo", "echo is the line's"},
      {"--fault-at 1:smoke", "unknown kind \"smoke\""},
      {"--bus 3 --detector 3:volts=2", "unknown setting \"volts\""},
      {"--bus 3 --detector 3:voltage=65536", "voltage takes a whole number from 0"},
      {"--detector 1:resistance=5/256", "resistance takes a whole number from 0 to 255"},
      {"--listen 127.0.0.1", "--listen takes HOST:PORT"},
      {"--listen 127.0.0.1:65536", "--listen takes HOST:PORT, the port from 0"},
      {"--listen :502", "--listen takes HOST:PORT"},
      {"--listen 127.0.0.1:0 --device /dev/null", "--listen and --device"},
      {"--modbus-tcp", "--modbus-tcp needs --listen"},
      {"--listen 127.0.0.1:0 --gateway-exceptions", "--gateway-exceptions needs --modbus-tcp"},
      {"--listen 127.0.0.1:0 --modbus-tcp --fault bad-crc",
       "--fault: bad-crc does not go with --modbus-tcp"},
      {"--listen 127.0.0.1:0 --modbus-tcp --fault echo",
       "--fault: echo does not go with --modbus-tcp"},
      {"--listen 127.0.0.1:0 --modbus-tcp --fault echo-only",
       "--fault: echo-only does not go with --modbus-tcp"},
      {"--listen 127.0.0.1:0 --modbus-tcp --fault-at 1:bad-crc",
       "--fault-at: bad-crc does not go with --modbus-tcp"},
  };
  for (const auto& [options, says] : cases) {
    SCOPED_TRACE(options);
    const Read read = ReadOptions(QString::fromUtf8(options).split(u' '));
    EXPECT_FALSE(read.setup.has_value());
    EXPECT_NE(read.refusal.find(says), std::string::npos) << read.refusal;
  }
}

// The numbers at their bounds are taken as given; one past them is refused above.
TEST(SimOptions, TakesTheNumbersAtTheirBounds) {
  const struct {
    QStringList options;
    int address;
    int voltage;
  } cases[] = {
      {{"--address", "1", "--voltage", "0"}, 1, 0},
      {{"--address", "255", "--voltage", "65535"}, 255, 65535},
      {{"--bus", "1,255", "--voltage", "7"}, 1, 7},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.options.join(' ').toStdString());
    const Read read = ReadOptions(c.options);
    ASSERT_TRUE(read.setup.has_value()) << read.refusal;
    EXPECT_EQ(read.setup->bus.front().address, c.address);
    EXPECT_EQ(read.setup->bus.front().voltage, c.voltage);
  }
}

}  // namespace
}  // namespace karvello::sim
