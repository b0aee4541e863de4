// A build whose Qt has no Network module serves no SCADA.
#include "gateway/scada_service.h"

namespace karvello::gateway {

std::unique_ptr<QObject> ServeScada(const SiteState&, const ListenAddress&, std::string* why) {
  if (why) *why = "this build of karvello-cli has no network support";
  return nullptr;
}

}  // namespace karvello::gateway
