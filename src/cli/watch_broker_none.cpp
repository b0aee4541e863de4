// A build without libmosquitto publishes nothing: --mqtt is refused before the line opens.
#include "cli/watch_broker.h"

namespace karvello::cli {

std::unique_ptr<WatchBroker> MakeWatchBroker(const Invocation& run) {
  if (!run.mqttUrl.empty()) {
    throw UsageError("this build of karvello-cli has no MQTT: --mqtt cannot be used");
  }
  return nullptr;
}

}  // namespace karvello::cli
