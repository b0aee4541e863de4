#pragma once
// karvello-sim's command line: its options, and the setup of detectors, line and faults they
// give. A wrong option throws UsageError, with a message that names the option.

#include <QCommandLineParser>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "sim/simulated_detector.h"

namespace karvello::sim {

struct UsageError {
  std::string message;
};

// A fault of one detector's replies, from --fault-at and --stray-at.
struct FaultAt {
  std::uint8_t address;
  std::string name;
  Fault fault;
};

struct Setup {
  std::vector<DetectorConfig> bus{DetectorConfig{}};  // one detector unless --bus
  bool isBus = false;
  LineConfig line;
  std::optional<Fault> fault;  // every detector's
  std::string faultName;
  std::vector<FaultAt> faultsAt;
  int faultTimes = kPersistent;
  std::string device;
  std::optional<std::pair<std::string, std::uint16_t>> listen;  // host and port
  TcpConfig tcp;
};

// The description, the help option and every option of the program.
void AddSimOptions(QCommandLineParser& parser);
// The setup the options processed by `parser` give.
Setup ReadSimOptions(const QCommandLineParser& parser);

}  // namespace karvello::sim
